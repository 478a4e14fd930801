#include "platform/Streams.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace tov {
namespace {

std::string ReadAll(TStream& stream) {
  std::string out;
  char c = 0;
  while (stream.ReadChar(c) != 0) out.push_back(c);
  return out;
}

// The single-byte path and the virtual operations must agree on the position.
TEST(TMemoryStream, ByteReadsSeeksAndPositionAgree) {
  TMemoryStream s;
  EXPECT_EQ(s.Write("abcdef", 6), 6u);
  EXPECT_EQ(s.Position(), 6);
  EXPECT_EQ(s.Size(), 6);
  uint8_t b = 0;
  EXPECT_EQ(s.ReadByte(b), 0u);  // at the end

  s.SetPosition(0);
  ASSERT_EQ(s.ReadByte(b), 1u);
  EXPECT_EQ(b, 'a');
  ASSERT_EQ(s.ReadByte(b), 1u);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.Seek(-2, soCurrent), 0);
  EXPECT_EQ(ReadAll(s), "abcdef");
  EXPECT_EQ(s.Position(), 6);
  EXPECT_EQ(s.Seek(-1, soEnd), 5);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 1u);
  EXPECT_EQ(buf[0], 'f');

  // Reading a byte, then writing, then reading on: one position throughout.
  s.SetPosition(1);
  s.ReadByte(b);
  EXPECT_EQ(s.Write("XY", 2), 2u);
  EXPECT_EQ(ReadAll(s), "ef");
  s.SetPosition(0);
  EXPECT_EQ(ReadAll(s), "abXYef");
}

TEST(TMemoryStream, MovesOutsideTheDataAreSafe) {
  TMemoryStream s;
  s.Write("abc", 3);
  EXPECT_EQ(s.Seek(-4, soCurrent), -1);  // before the start: refused
  EXPECT_EQ(s.Position(), 3);
  EXPECT_EQ(s.Seek(2, soEnd), 5);
  uint8_t b = 0;
  EXPECT_EQ(s.ReadByte(b), 0u);
  char buf[4];
  EXPECT_EQ(s.Read(buf, 4), 0u);
  s.Write("z", 1);  // the gap is filled with zero bytes
  EXPECT_EQ(s.Size(), 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), 6), std::string("abc\0\0z", 6));

  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.Size(), 2);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(TStream, BufferTransfersAreAllOrError) {
  TMemoryStream s;
  s.WriteBuffer("abc", 3);
  s.SetPosition(1);
  char buf[4] = {};
  s.ReadBuffer(buf, 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  s.SetPosition(1);
  try {
    s.ReadBuffer(buf, 3);
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
    EXPECT_STREQ(e.ClassName(), "EReadError");
  }
  s.ReadBuffer(buf, 0);
}

TEST(TFileStream, OpenFailuresAreTheClassLibrarysStreamErrors) {
  test::ScopedWorkDir dir;
  try {
    TFileStream f("missing.txt", fmOpenRead | fmShareDenyWrite);
    ADD_FAILURE() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file missing.txt");
  }
  try {
    TFileStream f("nodir/new.txt", fmCreate);
    ADD_FAILURE() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file nodir/new.txt");
  }
  test::WriteFileBytes("ro.txt", "x");
  ::chmod("ro.txt", 0444);
  EXPECT_THROW(TFileStream("ro.txt", fmOpenReadWrite), EFOpenError);
  EXPECT_THROW(TFileStream(".", fmOpenRead), EFOpenError);
}

TEST(TFileStream, ReadsWritesAndSeeksLikeAMemoryStream) {
  test::ScopedWorkDir dir;
  {
    TFileStream f("data.bin", fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.Position(), 11);
  }
  EXPECT_EQ(test::ReadFileBytes("data.bin"), "hello world");

  TFileStream f("data.bin", fmOpenRead);
  EXPECT_EQ(f.Size(), 11);
  EXPECT_EQ(f.Seek(6, soBeginning), 6);
  uint8_t b = 0;
  ASSERT_EQ(f.ReadByte(b), 1u);
  EXPECT_EQ(b, 'w');
  EXPECT_EQ(f.Seek(-2, soCurrent), 5);
  EXPECT_EQ(f.Seek(-20, soCurrent), -1);
  EXPECT_EQ(f.Position(), 5);
  EXPECT_EQ(ReadAll(f), " world");
  // Writing to a file opened for reading is an input/output error, not a short count.
  EXPECT_THROW(f.Write("x", 1), EInOutError);
}

}  // namespace
}  // namespace tov
