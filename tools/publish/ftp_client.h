// The publisher's FTP client, on libcurl: lists, reads, writes, renames and removes files
// below one server's publication directory. One control connection is kept for all the calls
// to a server, in active mode as the server recipe asks for; every call is bounded by
// time-outs. A call that fails throws ServerError, which ends the work on that server only.
#pragma once

#include <curl/curl.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

class ServerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A --to argument: ftp://USER@HOST[:PORT]/[PATH], PATH being the directory (from the login
// directory) that holds Update/.
struct ServerAddress {
    std::string text;  // as given
    std::string user;
    std::string host;
    std::string base;  // ftp://USER@HOST:PORT/PATH/, PATH escaped as URLs need it
};

// The address that text names; refuses another form, and a password in it.
ServerAddress ParseServerAddress(const std::string& text);

// Whether host is this machine (a loopback address or localhost).
bool IsLoopbackHost(const std::string& host);

// The directory part of a server path, with its last "/"; empty for a name alone.
std::string DirectoryOf(const std::string& path);

struct Connection {
    std::optional<std::string> password;  // none: libcurl looks in ~/.netrc
    bool tls = false;                     // explicit TLS for the control and the data
};

// The files below a directory of the server: names relative to it, "/" between directories.
struct RemoteTree {
    std::map<std::string, std::uint64_t> files;  // name: size
    std::set<std::string> directories;
};

class FtpClient {
  public:
    FtpClient(const ServerAddress& address, const Connection& connection);

    // The tree below directory (relative to the base, ending in "/"); empty when there is no
    // such directory.
    RemoteTree Walk(const std::string& directory);
    // Hands the content of path (relative to the base) to sink, piece by piece.
    void Fetch(const std::string& path, const std::function<void(std::string_view)>& sink);
    // Sends local to path: under a temporary name in path's directory (made when missing),
    // renamed over path once whole.
    void Store(const std::filesystem::path& local, const std::string& path);
    // Sends FTP commands (DELE name, RMD name) from within directory, in order.
    void Command(const std::string& directory, const std::vector<std::string>& commands);

  private:
    struct Cleanup {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    };
    struct List {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    using Commands = std::unique_ptr<curl_slist, List>;

    // Sets the options of every call, with url, and the commands sent after it.
    void Prepare(const std::string& url, const Commands& after);
    // Performs the prepared call; what names the call in an error.
    CURLcode Perform(const std::string& what, bool missingIsEmpty = false);
    std::string Url(const std::string& path) const;
    std::optional<std::string> ListText(const std::string& directory);

    ServerAddress m_address;
    Connection m_connection;
    std::unique_ptr<CURL, Cleanup> m_curl;
    char m_error[CURL_ERROR_SIZE] = {};
};

}  // namespace publish
