#include "status.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<Status, const char *>, 21> MEANINGS{{
    {Status::Ok, "success"},
    {Status::Ready, "ready for the data phase"},
    {Status::Failed, "general failure"},
    {Status::IsDirectory, "the target path names a directory"},
    {Status::NotDirectory, "a directory of the path exists but is not a directory"},
    {Status::SeqMismatch, "sequence number mismatch"},
    {Status::BadChecksum, "checksum mismatch"},
    {Status::MkdirFailed, "creating a directory failed"},
    {Status::CannotCreate, "the target file cannot be created or put in place"},
    {Status::ShortRead, "short read of transfer data"},
    {Status::ShortWrite, "short write of transfer data"},
    {Status::CannotOpen, "the source file cannot be opened for reading"},
    {Status::NoHello, "the remote agent did not answer the hello"},
    {Status::PipeFailed, "creating a pipe failed"},
    {Status::ForkFailed, "creating a process failed"},
    {Status::BadOperation, "operation number not recognised"},
    {Status::NoResponse, "no complete response from the remote agent within the time limit"},
    {Status::NoAudiumHome, "AUDIUM_HOME is not set"},
    {Status::NoJavaHome, "JAVA_HOME is not set"},
    {Status::LinkFailed, "linking the application's log directory failed"},
    {Status::NoAdminDir, "the master admin directory is missing or not a directory"},
}};

const char *find(int code) {
    for (auto &m : MEANINGS)
        if (static_cast<int>(m.first) == code)
            return m.second;
    return nullptr;
}
} // namespace

const char *status_meaning(int code) {
    const char *m = find(code);
    return m ? m : "unknown status";
}

const char *status_meaning(Status s) {
    return status_meaning(static_cast<int>(s));
}

bool status_known(int code) {
    return find(code) != nullptr;
}
