// The sibling product's shared memory, against the sibling-product peer in a second process.
// CTest runs every case as a process of its own, so each case makes its own first call.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "appdata/ZubraSharedMemory.h"
#include "peers/PeerProcess.h"

namespace {

// The test's own view of the peer's mapping, to look at bytes the code under test must not touch.
class PeerView {
 public:
  PeerView() {
    mapping_ = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"ZUBRA_USB_SHAREDMEM");
    if (mapping_)
      view_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kUsbSharedMemorySize));
  }
  ~PeerView() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  uint8_t* bytes() const { return view_; }
  std::string Slot(DWORD offset) const {
    std::string text;
    for (DWORD i = 0; i < kUsbSharedMemorySlotSize && view_[offset + i]; ++i)
      text.push_back(char(view_[offset + i]));
    return text;
  }
  bool SlotIsZero(DWORD offset) const {
    for (DWORD i = 0; i < kUsbSharedMemorySlotSize; ++i)
      if (view_[offset + i]) return false;
    return true;
  }

 private:
  HANDLE mapping_ = nullptr;
  uint8_t* view_ = nullptr;
};

std::wstring Take(uint32_t station, size_t capacity = 260) {
  std::wstring out(capacity, L'#');  // junk that must be cleared
  TakeUsbStationText(station, out.data(), capacity);
  EXPECT_EQ(out[capacity - 1], L'\0');
  return out.c_str();
}

TEST(ZubraSharedMemory, StationsTakeTheirSlotsAndLeaveTheHeader) {
  CPeerProcess peer;
  // "ü" is 0x81 in the OEM code page (437) and something else in the ANSI one.
  ASSERT_TRUE(peer.Start(L"zubra_peer.exe",
                         L"--run " + QuoteArgument(L"write 1 C:\\Sch\u00fcler\\; write 2 D:\\Two\\; "
                                                   L"wait-cleared 0; wait-cleared 2; hold-mutex 0; serve")));
  ASSERT_TRUE(peer.WaitForLog("WRITE station=2"));
  PeerView mine;
  ASSERT_NE(mine.bytes(), nullptr);
  uint8_t header[kUsbSharedMemoryHeaderSize];
  memcpy(header, mine.bytes(), sizeof header);
  EXPECT_EQ(memcmp(header, "ZUBRA-USB", 10), 0);

  UsbSharedMemory* shared = GetUsbSharedMemory();
  ASSERT_NE(shared->view, nullptr);
  ASSERT_NE(shared->holder, nullptr);
  EXPECT_EQ(shared->holder->mapped, 1u);
  EXPECT_EQ(GetUsbSharedMemory(), shared);

  // Stations 0 and 1 share the slot at 67: the first taker gets the text, the second nothing.
  EXPECT_EQ(Take(0), L"C:\\Sch\u00fcler\\");
  EXPECT_TRUE(mine.SlotIsZero(67));
  EXPECT_EQ(Take(1), L"");
  EXPECT_EQ(mine.Slot(1068), "D:\\Two\\") << "station 0 must not touch station 2's slot";
  EXPECT_EQ(Take(2), L"D:\\Two\\");
  EXPECT_TRUE(mine.SlotIsZero(1068));
  EXPECT_EQ(memcmp(header, mine.bytes(), sizeof header), 0) << "the header belongs to the product";
  EXPECT_EQ(shared->mutex, nullptr) << "the lock is released and forgotten";

  // The product sees both slots cleared through its own view, and can take the lock again.
  EXPECT_TRUE(peer.WaitForLog("CLEARED station=2"));
  EXPECT_TRUE(peer.WaitForLog("MUTEX released"));
}

TEST(ZubraSharedMemory, FullSlotStopsAtItsEndAndOtherStationsTouchNothing) {
  CPeerProcess peer;
  ASSERT_TRUE(
      peer.Start(L"zubra_peer.exe", L"--run " + QuoteArgument(L"write 2 second; write 0 first; serve")));
  ASSERT_TRUE(peer.WaitForLog("WRITE station=0"));
  PeerView mine;
  ASSERT_NE(mine.bytes(), nullptr);

  for (uint32_t station : {3u, 4u, 0xFFFFFFFFu}) EXPECT_EQ(Take(station), L"") << station;
  EXPECT_EQ(mine.Slot(67), "first");
  EXPECT_EQ(mine.Slot(1068), "second");

  // A slot filled to its last byte without a NUL ends there, not in the next slot.
  memset(mine.bytes() + 67, 'a', kUsbSharedMemorySlotSize);
  EXPECT_EQ(Take(1, 2048), std::wstring(kUsbSharedMemorySlotSize, L'a'));
  EXPECT_EQ(mine.Slot(1068), "second");
  // The save-path prefix holds 259 characters: the rest of a long text is cut.
  memset(mine.bytes() + 1068, 'b', 400);
  EXPECT_EQ(Take(2), std::wstring(259, L'b'));
  EXPECT_TRUE(mine.SlotIsZero(1068));
}

TEST(ZubraSharedMemory, WithoutTheProductAtFirstCallItStaysUnavailable) {
  UsbSharedMemory* shared = GetUsbSharedMemory();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->view, nullptr);
  EXPECT_EQ(Take(0), L"");

  CPeerProcess peer;
  ASSERT_TRUE(
      peer.Start(L"zubra_peer.exe", L"--run " + QuoteArgument(L"write 0 late; write 2 late2; serve")));
  ASSERT_TRUE(peer.WaitForLog("WRITE station=2"));
  EXPECT_EQ(GetUsbSharedMemory(), shared);
  EXPECT_EQ(shared->view, nullptr) << "the memory is opened once per process";
  EXPECT_EQ(Take(0), L"");
  EXPECT_EQ(Take(2), L"");
  PeerView mine;
  ASSERT_NE(mine.bytes(), nullptr);
  EXPECT_EQ(mine.Slot(67), "late");
  EXPECT_EQ(mine.Slot(1068), "late2");
}

// The product holding the slot lock makes the reader wait until it lets go.
TEST(ZubraSharedMemory, TakingTheTextWaitsForTheProductsLock) {
  CPeerProcess peer;
  ASSERT_TRUE(
      peer.Start(L"zubra_peer.exe", L"--run " + QuoteArgument(L"write 2 held; hold-mutex 600; serve")));
  ASSERT_TRUE(peer.WaitForLog("MUTEX taken"));
  const DWORD start = GetTickCount();
  EXPECT_EQ(Take(2), L"held");
  EXPECT_GE(GetTickCount() - start, 300u);
  EXPECT_TRUE(peer.WaitForLog("MUTEX released", 1000));
}

}  // namespace

// A lock the product never lets go of, or another kind of object under the mutex's name, gives
// up after the time-out instead of holding the user-interface thread; the text stays for later,
// and the prefix taken before stays in force.
TEST(ZubraSharedMemory, ALockThatCannotBeTakenLeavesTheSlotAfterATimeOut) {
  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(L"zubra_peer.exe",
                         L"--run " + QuoteArgument(L"write 0 first; write 2 kept; hold-mutex 4500; serve")));
  ASSERT_TRUE(peer.WaitForLog("MUTEX taken"));
  PeerView mine;
  ASSERT_NE(mine.bytes(), nullptr);

  wchar_t prefix[260] = L"E:\\Earlier\\";
  DWORD start = GetTickCount();
  TakeUsbStationText(2, prefix, 260);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_STREQ(prefix, L"E:\\Earlier\\") << "a prefix taken earlier is lost";
  EXPECT_GE(elapsed, kUsbSlotLockTimeoutMs - 100);
  EXPECT_LT(elapsed, kUsbSlotLockTimeoutMs + 1000);
  EXPECT_EQ(mine.Slot(1068), "kept");
  EXPECT_EQ(GetUsbSharedMemory()->mutex, nullptr);

  ASSERT_TRUE(peer.WaitForLog("MUTEX released", 5000));
  HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, L"GP_MYRECORDMUTEX");
  ASSERT_NE(squatter, nullptr);
  start = GetTickCount();
  TakeUsbStationText(0, prefix, 260);
  elapsed = GetTickCount() - start;
  EXPECT_STREQ(prefix, L"E:\\Earlier\\");
  EXPECT_LT(elapsed, kUsbSlotLockTimeoutMs + 1000);
  EXPECT_EQ(mine.Slot(67), "first");
  CloseHandle(squatter);

  EXPECT_EQ(Take(0), L"first");
  EXPECT_EQ(Take(2), L"kept");
}
