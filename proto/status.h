// Status codes of the agent protocol: the signed 16-bit value of every response.
// The wire values are fixed; 16, 18 and 22 are never sent.
#pragma once

#include <cstdint>

enum class Status : std::int16_t {
    Ok = 0,            // success
    Ready = 1,         // ready for the data phase (interim response)
    Failed = 2,        // general failure
    IsDirectory = 3,   // the target path names a directory
    NotDirectory = 4,  // a directory of the path exists but is not a directory
    SeqMismatch = 5,   // sequence number mismatch
    BadChecksum = 6,   // checksum mismatch
    MkdirFailed = 7,   // creating a directory failed
    CannotCreate = 8,  // the target file cannot be created or put in place
    ShortRead = 9,     // short read of transfer data
    ShortWrite = 10,   // short write of transfer data
    CannotOpen = 11,   // the source file cannot be opened for reading
    NoHello = 12,      // the remote agent did not answer the hello
    PipeFailed = 13,   // creating a pipe failed
    ForkFailed = 14,   // creating a process failed
    BadOperation = 15, // operation number not recognised
    NoResponse = 17,   // no complete response from the remote agent within the time limit
    NoAudiumHome = 19, // AUDIUM_HOME is not set
    NoJavaHome = 20,   // JAVA_HOME is not set
    LinkFailed = 21,   // linking the application's log directory failed
    NoAdminDir = 23,   // the master admin directory is missing or not a directory
};

// The meaning of a status code as the station shows it; "unknown status" for values
// that the agent never sends.
const char *status_meaning(int code);
const char *status_meaning(Status s);

// True for the codes of the table above, the only ones the agent sends.
bool status_known(int code);

constexpr int code(Status s) {
    return static_cast<int>(s);
}
