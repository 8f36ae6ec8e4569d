// Quirks: a directory's entries are read from LIST -a in the long form of ls that vsftpd,
// pyftpdlib and most Unix servers send (type, four fields, size, three of date, name); "-a"
// makes vsftpd show names that begin with a dot (this tool's temporary files among them). A
// missing directory reads as empty only where the server says the directory cannot be entered.
#include "ftp_client.h"

#include <cstdio>
#include <sstream>

#include "tree.h"

namespace publish {

namespace {

constexpr long kConnectSeconds = 30;
constexpr long kReplySeconds = 60;
constexpr long kStalledSeconds = 60;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Where a call's data goes; a sink that throws ends the transfer, and its message is kept.
struct Receiver {
    const std::function<void(std::string_view)>* sink;
    std::string failure;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
    auto* receiver = static_cast<Receiver*>(user);
    try {
        (*receiver->sink)(std::string_view(data, size * count));
        return size * count;
    } catch (const std::exception& error) {
        receiver->failure = error.what();
        return 0;
    }
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t Send(char* buffer, size_t size, size_t count, void* file) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(file));
}

bool IsDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

struct Entry {
    char type;
    std::uint64_t size;
    std::string name;
};

// One line of a long listing; nothing for a line of another form ("total 12").
std::optional<Entry> ListedEntry(const std::string& line) {
    std::istringstream fields(line);
    std::string field[8];
    for (std::string& f : field) fields >> f;
    if (!fields || field[0].size() != 10 || !IsDigits(field[4])) return std::nullopt;
    std::string name;
    std::getline(fields, name);
    if (name.size() < 2) return std::nullopt;
    name.erase(0, 1);
    if (field[0][0] == 'l') name = name.substr(0, name.find(" -> "));
    return Entry{field[0][0], std::stoull(field[4]), name};
}

}  // namespace

ServerAddress ParseServerAddress(const std::string& text) {
    const auto refuse = [&text](const std::string& why) {
        Refuse("--to " + text + ": " + why +
               "; the form is ftp://USER@HOST[:PORT]/[PATH], PATH the directory that holds "
               "Update/");
    };
    constexpr std::string_view scheme = "ftp://";
    if (!text.starts_with(scheme)) refuse("not an ftp:// address");
    if (text.find_first_of(" \t\r\n") != std::string::npos) refuse("white space in it");
    const size_t slash = text.find('/', scheme.size());
    const std::string authority = text.substr(scheme.size(), slash - scheme.size());
    std::string path = slash == std::string::npos ? "" : text.substr(slash + 1);
    const size_t at = authority.rfind('@');
    if (at == std::string::npos || at == 0) refuse("no user name");
    ServerAddress address;
    address.text = text;
    address.user = authority.substr(0, at);
    if (address.user.find(':') != std::string::npos) {
        Refuse("--to " + text +
               ": a password on the command line, where other users can see it. Put it in "
               "~/.netrc (machine HOST login USER password ...) or in a file of your own named "
               "by --password-file");
    }
    std::string hostPort = authority.substr(at + 1);
    const size_t colon = hostPort.rfind(':');
    std::string port = "21";
    if (colon != std::string::npos && hostPort.find(']', colon) == std::string::npos) {
        port = hostPort.substr(colon + 1);
        hostPort.erase(colon);
    }
    if (hostPort.empty()) refuse("no host");
    if (!IsDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
        refuse("the port is not a number from 1 to 65535");
    }
    address.host = hostPort;
    while (path.ends_with('/')) path.pop_back();
    address.base = "ftp://" + address.user + "@" + hostPort + ":" + port + "/" +
                   (path.empty() ? "" : path + "/");
    return address;
}

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host.starts_with("127.") || host == "[::1]";
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

FtpClient::FtpClient(const ServerAddress& address, const Connection& connection)
    : m_address(address), m_connection(connection), m_curl(curl_easy_init()) {
    if (!m_curl) throw ServerError("libcurl cannot start a session");
}

std::string FtpClient::Url(const std::string& path) const {
    std::string url = m_address.base;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::unique_ptr<char, decltype(&curl_free)> escaped(
            curl_easy_escape(m_curl.get(), path.data() + start, static_cast<int>(end - start)),
            curl_free);
        if (!escaped) throw ServerError("cannot form the address of " + path);
        url += escaped.get();
        if (end < path.size()) url += '/';
        start = end + 1;
    }
    return url;
}

void FtpClient::Prepare(const std::string& url, const Commands& after) {
    CURL* curl = m_curl.get();
    // A reset keeps the connection to the server.
    curl_easy_reset(curl);
    bool ok =
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_error) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_FTPPORT, "-") == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, kReplySeconds) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, kConnectSeconds * 1000) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStalledSeconds) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_POSTQUOTE, after.get()) == CURLE_OK;
    if (m_connection.password) {
        ok = ok &&
             curl_easy_setopt(curl, CURLOPT_PASSWORD, m_connection.password->c_str()) == CURLE_OK;
    } else {
        ok = ok && curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL)) ==
                       CURLE_OK;
    }
    if (m_connection.tls) {
        ok = ok &&
             curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK;
    }
    if (!ok) throw ServerError("libcurl does not take the options of a transfer");
}

CURLcode FtpClient::Perform(const std::string& what, bool missingIsEmpty) {
    m_error[0] = '\0';
    const CURLcode code = curl_easy_perform(m_curl.get());
    if (code == CURLE_OK) return code;
    if (missingIsEmpty &&
        (code == CURLE_REMOTE_ACCESS_DENIED || code == CURLE_REMOTE_FILE_NOT_FOUND)) {
        return code;
    }
    throw ServerError(what + ": " + (m_error[0] ? m_error : curl_easy_strerror(code)));
}

std::optional<std::string> FtpClient::ListText(const std::string& directory) {
    std::string text;
    const std::function<void(std::string_view)> sink = [&text](std::string_view piece) {
        text.append(piece);
    };
    Receiver receiver{&sink, {}};
    Prepare(Url(directory), Commands());
    if (curl_easy_setopt(m_curl.get(), CURLOPT_CUSTOMREQUEST, "LIST -a") != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_WRITEFUNCTION, Receive) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_WRITEDATA, &receiver) != CURLE_OK) {
        throw ServerError("libcurl does not take the options of a listing");
    }
    if (Perform("cannot list " + directory, true) != CURLE_OK) return std::nullopt;
    return text;
}

RemoteTree FtpClient::Walk(const std::string& directory) {
    RemoteTree tree;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        const std::string below = pending.back();
        pending.pop_back();
        const std::optional<std::string> text = ListText(directory + below);
        if (!text) {
            if (below.empty()) return tree;
            throw ServerError("cannot list " + directory + below);
        }
        std::istringstream lines(*text);
        for (std::string line; std::getline(lines, line);) {
            if (line.ends_with('\r')) line.pop_back();
            const std::optional<Entry> entry = ListedEntry(line);
            if (!entry || entry->name == "." || entry->name == "..") continue;
            const std::string name = below + entry->name;
            if (entry->type == 'd') {
                tree.directories.insert(name);
                pending.push_back(name + "/");
            } else {
                tree.files[name] = entry->size;
            }
        }
    }
    return tree;
}

void FtpClient::Fetch(const std::string& path, const std::function<void(std::string_view)>& sink) {
    Receiver receiver{&sink, {}};
    Prepare(Url(path), Commands());
    if (curl_easy_setopt(m_curl.get(), CURLOPT_WRITEFUNCTION, Receive) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_WRITEDATA, &receiver) != CURLE_OK) {
        throw ServerError("libcurl does not take the options of a download");
    }
    try {
        Perform("cannot read " + path);
    } catch (const ServerError&) {
        if (!receiver.failure.empty()) throw ServerError(receiver.failure);
        throw;
    }
}

void FtpClient::Store(const std::filesystem::path& local, const std::string& path) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(local.c_str(), "rb"));
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(local, error);
    if (!file || error) Fail("cannot read " + Shown(local));
    const std::string directory = DirectoryOf(path);
    const std::string name = path.substr(directory.size());
    const std::string temporary = std::string(kTemporaryPrefix) + name;
    Commands rename(curl_slist_append(nullptr, ("RNFR " + temporary).c_str()));
    if (!rename || !curl_slist_append(rename.get(), ("RNTO " + name).c_str())) {
        throw ServerError("out of memory");
    }
    Prepare(Url(directory + temporary), rename);
    if (curl_easy_setopt(m_curl.get(), CURLOPT_UPLOAD, 1L) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_READFUNCTION, Send) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_READDATA, file.get()) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size)) !=
            CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_FTP_CREATE_MISSING_DIRS,
                         static_cast<long>(CURLFTP_CREATE_DIR_RETRY)) != CURLE_OK) {
        throw ServerError("libcurl does not take the options of an upload");
    }
    Perform("cannot upload " + path);
}

void FtpClient::Command(const std::string& directory, const std::vector<std::string>& commands) {
    Commands list;
    for (const std::string& command : commands) {
        curl_slist* longer = curl_slist_append(list.get(), command.c_str());
        if (!longer) throw ServerError("out of memory");
        list.release();
        list.reset(longer);
    }
    // The commands follow a listing of the directory, which takes the session there.
    Prepare(Url(directory), list);
    if (curl_easy_setopt(m_curl.get(), CURLOPT_DIRLISTONLY, 1L) != CURLE_OK ||
        curl_easy_setopt(m_curl.get(), CURLOPT_WRITEFUNCTION, Discard) != CURLE_OK) {
        throw ServerError("libcurl does not take the options of a command");
    }
    Perform("in " + directory + ", " + commands.front());
}

}  // namespace publish
