// The side-file queue: one append-only queue file per storage server in
// <WorkDir>/sqtemp, named after the server's address, and the slot table that
// counts the entries waiting in each. Download threads append entries; the
// storage sender renames and ships whole files. SideFileQueueLock guards the
// table, the counts and every append and rename, so a file never changes its
// name in the middle of an append. SideFilePending (CrawlerEngine.h) is kept
// equal to the sum of the slots' counts, and changes only under the lock.
// The table and the open files are part of the engine's state, and the lock
// one of the engine's locks (EngineState.h).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/SharedGlobals.h"
#include "crawler/SideFileEntry.h"

namespace tov {

// One slot of the table, claimed by a storage server.
struct FileInfo {
  bool Used = false;
  std::string Server;    // the storage server's whole address
  std::string FileName;  // <WorkDir>/sqtemp/<Server>
  int32_t Count = 0;     // entries appended or taken up and not yet sent
};

// The table starts with this many slots and grows by one whenever every slot
// is claimed, so the entries of every storage server get sent.
constexpr size_t SideFileInitialSlots = 21;
// The first slots keep their queue file open from append to append (opening
// and closing it for each entry costs more than the write); a crawl has a
// few storage servers, and no run of storage addresses can use up the
// process's files.
constexpr size_t SideFileKeptOpenSlots = 16;
constexpr const char* SideFileFolder = "sqtemp";
// The suffix a queue file carries while it is being sent.
constexpr const char* SendingSuffix = "_sending";

extern std::vector<FileInfo>& SideFileSlots;  // under SideFileQueueLock only
extern std::mutex& SideFileQueueLock;

// Whether an address can name a queue file: letters, digits, '.', '-' and
// ':', not starting with '.'; so never a path, and never a sending name.
bool IsValidStorageAddress(std::string_view address);

// Empties the table (every slot unclaimed with a count of 0). Run once by the
// engine's start before any download thread exists.
void InitSideFileQueue();

// Counts the queue files that an earlier run left in sqtemp (plain and
// "_sending" names) in their servers' slots and in SideFilePending, after
// cutting each back to its whole entries (the cut bytes are kept aside), so
// they are sent like new ones. Only regular files of one name are taken up.
// Anything else under an address's name (a link, a folder, a file with a
// second name, a file that does not begin with a whole entry) is logged and
// left as it is until that address gets its slot; then it is moved aside to
// a kept name, so its bytes are neither sent nor appended behind. Names that
// cannot be a storage address and kept files are left alone.
void TakeUpSideFiles();

// Appends one entry for rec to its server's queue file and counts it. A file
// that cannot be opened (logged as "cant write to SideFileQueue, file ... is
// locked." unless logOpenFailure is false: the caller logs the failure) or a
// write that fails part-way (a full disk; cut back off the file) leaves the
// entry uncounted and raises EInOutError, so the caller still has the page.
// An entry whose storage address cannot name a file is logged and not queued.
// What stands under the queue file's name without being a regular file of
// one name (planted while the crawler runs) is moved aside first, so the
// entry goes to a fresh file.
void AddToSideFileQueue(const ThumbnaleData& rec, bool logOpenFailure = true);

// The queue file of a storage server: <WorkDir>/sqtemp/<storage>.
std::string SideFileName(const std::string& storage);

// The slot of a storage server, claimed when it has none (moving aside what
// the take-up left alone under its name). Under the lock.
size_t ChooseSideFileSlot(const std::string& storage);

// Closes the handle that a slot keeps open on its queue file between
// appends. Under the lock, before the file is renamed: the next append opens
// the file of that name afresh.
void CloseSideFileHandle(size_t index);

}  // namespace tov
