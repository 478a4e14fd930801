// The error log: one time-stamped line per call appended to ErrorLog.txt in the
// current directory. Both programs, and every thread of each, append to it.
#pragma once

#include <string>
#include <string_view>

namespace tov {

// Appends "<time> <date>: <msg>" and CR LF, with the local time (seconds
// included) and date in the user's LC_TIME format. Raises EInOutError when the
// file cannot be opened, written or closed; a read-only file gives "File access
// denied", a file held by another writer for longer than a moment I/O error 32;
// the line then goes to standard error, and a line the disk took only part of
// is cut off the file again.
// Calls from threads of one process are serialised, so they never collide,
// and may come while the process ends.
void WriteErrorLog(std::string_view msg);

// The "<time> <date>: " stamp that WriteErrorLog puts before a message.
std::string ErrorLogStamp();

}  // namespace tov
