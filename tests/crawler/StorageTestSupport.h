// What the sender tests (and later end-to-end tests) need around the storage
// servers: the stand-in server as a child process, decoding what it recorded
// back into the upload header and the side-file entries, and making entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crawler/SideFileEntry.h"
#include "tests/support/StandIn.h"

namespace tov::test {

// One upload as a storage server receives it: the 81-character header with
// its fields (text fields without their padding) and the entries behind it.
struct StorageUpload {
  std::string LocalAddress;  // the address the stand-in was reached on
  int Sequence = 0;          // order of arrival at that stand-in
  std::string Header;        // the 81 characters as received
  int64_t Total = -1;        // -1 when the field is not a number
  std::string Number;
  std::string Command;
  std::string Version;
  std::string UserName;
  std::string UserPassword;
  std::string DedicatedFlag;
  std::string DedicatedServerName;
  std::string TeamName;
  std::string Body;          // everything behind the header
  DecodedSideFile Entries;   // Body decoded; WholeSize < Body.size() means trailing bytes
};

// Splits recorded bytes into header fields and entries. Fewer than 81 bytes
// leave every field empty and the bytes in Body.
StorageUpload DecodeStorageUpload(const std::string& bytes);

// tests/standins/storage_server.py as a child process, recording into its own
// directory. Ended (SIGTERM, then waited for) when the object goes.
class StandInStorageServer {
 public:
  // addresses empty: every address; reset: how many first connections it
  // resets; read_rate: bytes a second it reads of a connection (0: none, as a
  // server that hangs once connected, until a file "drain" appears in dir;
  // then as fast as they come), -1: as fast as they come.
  explicit StandInStorageServer(const std::string& dir, std::vector<std::string> addresses = {}, int reset = 0,
                                int read_rate = -1);

  bool Ready() const { return process_.Ready(); }
  // The finished connections so far, in order of arrival.
  std::vector<StorageUpload> Uploads() const;
  // The finished connections reached on one address.
  std::vector<StorageUpload> UploadsTo(const std::string& address) const;
  // How many connections have finished (to one address, or to any); reads no bytes.
  size_t CountUploads(const std::string& address = "") const { return CountRecords(".bin", address); }
  // How many connections the peer ended with a reset (none of them recorded).
  size_t CountResets(const std::string& address = "") const { return CountRecords(".reset", address); }

 private:
  size_t CountRecords(const std::string& extension, const std::string& address) const;
  static std::vector<std::string> Arguments(const std::vector<std::string>& addresses, int reset, int read_rate);
  StandInProcess process_;
};

// A page result with deterministic content from its number; the thumbnail
// bytes live in *thumbnail_store, which must outlive the record's use.
ThumbnaleData MakeThumbnaleData(int n, const std::string& storage, size_t html_size, size_t thumbnail_size,
                                std::string* thumbnail_store);

// The text of a zlib stream as a download thread compressed it; the test
// fails when the stream is damaged or incomplete.
std::string InflatePage(const std::string& stream);

// The entry as a decoder gives it back.
SideFileEntry ExpectedEntry(const ThumbnaleData& rec);
bool SameEntry(const SideFileEntry& a, const SideFileEntry& b);
// Whether the decoded entries are exactly the expected ones, in order; the
// message says where they first differ.
::testing::AssertionResult SameEntries(const std::vector<SideFileEntry>& got, const std::vector<SideFileEntry>& want);

}  // namespace tov::test
