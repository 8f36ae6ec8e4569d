#include "net/update_server.h"

#include <cstdlib>

#include "kestrin_config.h"

namespace {

// Whether text is a port number as a mirror entry gives it: 1 to 65535, decimal digits only,
// without leading zeros (as configuring checks the build's list).
bool ReadPort(std::string_view text, INTERNET_PORT& port) {
    if (text.empty() || text.size() > 5 || text.front() == '0') return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<INTERNET_PORT>(value);
    return true;
}

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsHostName(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

}  // namespace

UpdateServer CompiledUpdateServer() {
    UpdateServer server{KESTRIN_UPDATE_HOST, KESTRIN_UPDATE_USER, KESTRIN_UPDATE_PASSWORD,
                        static_cast<INTERNET_PORT>(KESTRIN_UPDATE_PORT)};
    if (KESTRIN_SERVER_FROM_ENV) {
        if (const char* host = std::getenv("KESTRIN_UPDATE_HOST"); host && *host) {
            server.host = host;
        }
        if (const char* port = std::getenv("KESTRIN_UPDATE_PORT"); port && *port) {
            char* end = nullptr;
            long value = std::strtol(port, &end, 10);
            if (*end == '\0' && value >= 0 && value <= 65535) {
                server.port = static_cast<INTERNET_PORT>(value);
            }
        }
    }
    return server;
}

std::vector<UpdateServer> CompiledUpdateServers(bool withMirrors) {
    std::vector<UpdateServer> servers{CompiledUpdateServer()};
    if (!withMirrors) return servers;
    std::string_view mirrors = KESTRIN_UPDATE_MIRRORS;
    if (KESTRIN_SERVER_FROM_ENV) {
        if (const char* named = std::getenv("KESTRIN_UPDATE_MIRRORS")) mirrors = named;
    }
    for (UpdateServer& mirror : ParseMirrors(mirrors, servers.front())) {
        servers.push_back(std::move(mirror));
    }
    return servers;
}

unsigned CompiledTransferConnections() {
    unsigned count = KESTRIN_TRANSFER_CONNECTIONS;
    if (KESTRIN_SERVER_FROM_ENV) {
        if (const char* text = std::getenv("KESTRIN_TRANSFER_CONNECTIONS"); text && *text) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(text, &end, 10);
            if (*end == '\0' && value >= 1 && value <= kMostTransferConnections) {
                count = static_cast<unsigned>(value);
            }
        }
    }
    return count;
}

std::vector<UpdateServer> ParseMirrors(std::string_view text, const UpdateServer& primary) {
    std::vector<UpdateServer> mirrors;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = Trimmed(text.substr(0, comma));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        const size_t colon = entry.find(':');
        UpdateServer mirror = primary;
        mirror.port = 0;
        if (!IsHostName(entry.substr(0, colon)) ||
            (colon != std::string_view::npos && !ReadPort(entry.substr(colon + 1), mirror.port))) {
            continue;
        }
        mirror.host = CString(entry.substr(0, colon));
        mirrors.push_back(std::move(mirror));
    }
    return mirrors;
}
