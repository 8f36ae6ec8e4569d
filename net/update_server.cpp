#include "net/update_server.h"

#include <cstdlib>

#include "kestrin_config.h"

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
