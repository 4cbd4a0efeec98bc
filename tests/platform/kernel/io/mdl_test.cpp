// Caller memory and MDLs: probes, copies, locked user pages reached by DMA,
// the kernel view of locked user pages, scattered kernel pages.
#include <sys/mman.h>
#include <sys/syscall.h>

#include <cstring>
#include <vector>

#include "tests/support/io_fixture.h"

namespace {

using CallerMemory = IoTest;

TEST_F(CallerMemory, ProbesRaiseForMisalignedForeignAndInaccessibleRanges) {
  AsCaller as(*process_);
  auto* page = static_cast<char*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(page + 4096, 4096, PROT_READ);
  mprotect(page + 2 * 4096, 4096, PROT_NONE);
  struct Case {
    const char* what;
    std::function<void()> probe;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"readable", [&] { ProbeForRead(page, 2 * 4096, 4); }, STATUS_SUCCESS},
      {"writable", [&] { ProbeForWrite(page, 4096, 4); }, STATUS_SUCCESS},
      {"nothing to probe", [&] { ProbeForWrite(nullptr, 0, 4); }, STATUS_SUCCESS},
      {"misaligned", [&] { ProbeForRead(page + 2, 8, 4); }, STATUS_DATATYPE_MISALIGNMENT},
      {"read-only page written", [&] { ProbeForWrite(page + 4096 - 8, 16, 1); }, STATUS_ACCESS_VIOLATION},
      {"inaccessible page", [&] { ProbeForRead(page + 4096, 2 * 4096, 1); }, STATUS_ACCESS_VIOLATION},
      {"kernel space", [&] { ProbeForRead(reinterpret_cast<void*>(0xFFFF800000000000ull), 8, 1); },
       STATUS_ACCESS_VIOLATION},
      {"wrapping", [&] { ProbeForRead(page, ~0ull - 16, 1); }, STATUS_ACCESS_VIOLATION},
  };
  for (const Case& c : cases) EXPECT_EQ(raised(c.probe), c.expected) << c.what;
  char value = 0;
  EXPECT_EQ(PlatCopyFromUser(&value, page + 2 * 4096, 1), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(PlatCopyToUser(page + 4096, &value, 1), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(PlatCopyToUser(page, "xyz", 4), STATUS_SUCCESS);
  EXPECT_STREQ(page, "xyz");
  munmap(page, 3 * 4096);
}

TEST_F(CallerMemory, DmaThroughLockedUserPagesReachesTheProcess) {
  std::vector<unsigned char> buffer(3 * 4096, 0);
  unsigned char* start = buffer.data() + 100;
  const ULONG length = 2 * 4096 + 500;
  std::uint64_t first_frame;
  {
    AsCaller as(*process_);
    PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(raised([&] { MmProbeAndLockPages(mdl, UserMode, IoWriteAccess); }), STATUS_SUCCESS);
    EXPECT_EQ(MmGetMdlByteCount(mdl), length);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(start));
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
    first_frame = pfns[0];
    // Write across the page boundaries by physical address, as the adapter does.
    std::vector<unsigned char> pattern(length);
    for (ULONG i = 0; i < length; ++i) pattern[i] = static_cast<unsigned char>(i * 7);
    ULONG done = 0, offset = MmGetMdlByteOffset(mdl);
    for (ULONG page = 0; done < length; ++page) {
      const ULONG n = std::min<ULONG>(4096 - offset, length - done);
      ASSERT_TRUE(kernel().memory().dma_write((static_cast<std::uint64_t>(pfns[page]) << PAGE_SHIFT) + offset,
                                              pattern.data() + done, n));
      done += n;
      offset = 0;
    }
    EXPECT_EQ(std::memcmp(start, pattern.data(), length), 0);
    EXPECT_EQ(buffer[99], 0);
    unsigned char back[16];
    EXPECT_TRUE(kernel().memory().dma_read((first_frame << PAGE_SHIFT) + BYTE_OFFSET(start), back, sizeof back));
    EXPECT_EQ(std::memcmp(back, pattern.data(), sizeof back), 0);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  // Unlocked: the frames no longer lead anywhere.
  const std::uint64_t faults = kernel().memory().dma_faults();
  unsigned char byte = 0;
  EXPECT_FALSE(kernel().memory().dma_write(first_frame << PAGE_SHIFT, &byte, 1));
  EXPECT_EQ(kernel().memory().dma_faults(), faults + 1);
}

TEST_F(CallerMemory, LockingInaccessibleUserPagesRaises) {
  AsCaller as(*process_);
  auto* page = static_cast<char*>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  PMDL mdl = IoAllocateMdl(page, 64, FALSE, FALSE, nullptr);
  EXPECT_EQ(raised([&] { MmProbeAndLockPages(mdl, UserMode, IoReadAccess); }), STATUS_SUCCESS);
  MmUnlockPages(mdl);
  EXPECT_EQ(raised([&] { MmProbeAndLockPages(mdl, UserMode, IoModifyAccess); }), STATUS_ACCESS_VIOLATION);
  IoFreeMdl(mdl);
  munmap(page, 4096);
}

TEST_F(CallerMemory, TheKernelViewWritesBackOnlyWhatTheKernelChanged) {
  AsCaller as(*process_);
  std::vector<char> user(64, 'u');
  PMDL mdl = IoAllocateMdl(user.data(), 64, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
  auto* view = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(view, nullptr);
  EXPECT_NE(static_cast<void*>(view), static_cast<void*>(user.data()));  // a kernel view, not the user address
  EXPECT_EQ(view[10], 'u');
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), view);
  std::memcpy(view, "KERNEL", 6);
  user[40] = 'p';  // the process changes its own bytes meanwhile
  MmUnlockPages(mdl);
  EXPECT_EQ(std::string(user.data(), 8), "KERNELuu");
  EXPECT_EQ(user[40], 'p');
  IoFreeMdl(mdl);
}

TEST_F(CallerMemory, SecuringChecksTheRangeInTheCallingProcess) {
  AsCaller as(*process_);
  std::vector<char> user(100);
  HANDLE secured = MmSecureVirtualMemory(user.data(), user.size(), PAGE_READWRITE);
  EXPECT_NE(secured, nullptr);
  MmUnsecureVirtualMemory(secured);
  EXPECT_EQ(MmSecureVirtualMemory(reinterpret_cast<void*>(0x1000), 100, PAGE_READWRITE), nullptr);
  EXPECT_EQ(MmSecureVirtualMemory(user.data(), 0, PAGE_READWRITE), nullptr);
}

class ScatteredMemory : public IoTest {
 protected:
  plat::KernelOptions options() override {
    auto o = IoTest::options();
    o.memory.scattered = true;
    return o;
  }
};

TEST_F(ScatteredMemory, NonPagedListsGiveEachPageItsOwnFrameAndChainsLink) {
  auto* pool = static_cast<unsigned char*>(
      ExAllocatePoolWithTag(NonPagedPool, 3 * PAGE_SIZE, MAKEFOURCC_LE('T', 'e', 's', 't')));
  IRP* irp = IoAllocateIrp(1, FALSE);
  PMDL first = IoAllocateMdl(pool, 3 * PAGE_SIZE, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(pool + PAGE_SIZE, 16, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  MmBuildMdlForNonPagedPool(first);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(first, NormalPagePriority), pool);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(first);
  EXPECT_NE(pfns[1], pfns[0] + 1) << "scattered frames are not neighbours";
  for (int page = 0; page < 3; ++page) {
    unsigned char byte = static_cast<unsigned char>(0x40 + page);
    ASSERT_TRUE(kernel().memory().dma_write(static_cast<std::uint64_t>(pfns[page]) << PAGE_SHIFT, &byte, 1));
    EXPECT_EQ(pool[page * PAGE_SIZE], byte);
  }
  IoFreeMdl(second);
  IoFreeMdl(first);
  IoFreeIrp(irp);
  ExFreePoolWithTag(pool, MAKEFOURCC_LE('T', 'e', 's', 't'));
}

TEST_F(ScatteredMemory, TheDriverLocksAndDmasIntoTheCallersBuffer) {
  std::uint64_t file = open();
  std::vector<unsigned char> target(2 * 4096, 0);
  testdrv::DmaRequest request{reinterpret_cast<std::uint64_t>(target.data() + 10), 5000, 0xE7};
  EXPECT_EQ(call(file, testdrv::kDmaUser, &request, sizeof request, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(target[9], 0);
  EXPECT_EQ(target[10], 0xE7);
  EXPECT_EQ(target[5009], 0xE7);
  EXPECT_EQ(target[5010], 0);
  testdrv::DmaRequest bad{0x1000, 100, 1};
  EXPECT_EQ(call(file, testdrv::kDmaUser, &bad, sizeof bad, nullptr, 0).status, STATUS_ACCESS_VIOLATION);
}

}  // namespace

namespace {

class ScatteredCallerMemory : public ScatteredMemory {};

TEST_F(ScatteredCallerMemory, LockedUserPagesAreNotPhysicalNeighbours) {
  std::vector<unsigned char> buffer(4 * 4096, 0);
  unsigned char* start = buffer.data() + 8;
  const ULONG length = 3 * 4096;
  AsCaller as(*process_);
  PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
  ASSERT_EQ(raised([&] { MmProbeAndLockPages(mdl, UserMode, IoWriteAccess); }), STATUS_SUCCESS);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, length);
  ASSERT_EQ(pages, 4u);
  for (ULONG i = 1; i < pages; ++i) EXPECT_NE(pfns[i], pfns[i - 1] + 1) << "page " << i;
  // Each page still reaches its own bytes of the caller's buffer; the frame
  // right behind a page belongs to no one.
  for (ULONG i = 1; i < pages; ++i) {
    unsigned char byte = static_cast<unsigned char>(0x60 + i);
    ASSERT_TRUE(kernel().memory().dma_write(static_cast<std::uint64_t>(pfns[i]) << PAGE_SHIFT, &byte, 1));
    EXPECT_EQ(start[i * 4096 - BYTE_OFFSET(start)], byte);
    EXPECT_FALSE(kernel().memory().dma_write((static_cast<std::uint64_t>(pfns[i - 1]) + 1) << PAGE_SHIFT, &byte, 1));
  }
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

}  // namespace
