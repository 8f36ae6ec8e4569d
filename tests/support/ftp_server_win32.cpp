// The test FTP server in the Windows build: the program runs under Wine and cannot start the
// Linux interpreter, so only an externally started server can be used (see ftp_server.h).
#include "ftp_server.h"

struct FtpServer::Process {};

void FtpServer::ProcessDeleter::operator()(Process* process) const {
    delete process;
}

bool FtpServer::Launch() {
    error_ =
        "the Windows build cannot start the FTP server: set KESTRIN_TEST_FTP_PORT, "
        "KESTRIN_TEST_FTP_ROOT and KESTRIN_TEST_FTP_LOG to a server started outside";
    return false;
}

void FtpServer::StopProcess() {}
