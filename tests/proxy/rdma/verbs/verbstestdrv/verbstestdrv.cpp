// A kernel client of the proxy driver's verbs, loaded into a host beside
// zekhnic and zekproxy. On request it fetches the kernel verbs table and the
// kernel socket-call table from the proxy driver (as kernel callers get
// them), puts the adapter's SAN address on the host stack (which does not
// run on adapters yet, so the address goes on its loopback interface), and
// runs the verbs through the table, checking each answer. Its other
// request runs one end of an RDMA connection between two hosts
// (twohost.cpp).
#include <cstring>
#include <string>

#include "include/zek/ioctl.h"
#include "tests/proxy/rdma/verbs/san_alias.h"
#include "tests/proxy/rdma/verbs/verbstestdrv/kernel_client.h"
#include "tests/support/proxy_table.h"
#include "tests/support/test_device.h"

namespace verbstest {

KernelTables kernel_tables() {
  return {reinterpret_cast<const ZekVerbsInterface*>(zektest::proxy_table(IOCTL_ZEK_IWARP_GET_KERNEL_VERBS)),
          reinterpret_cast<const ZekKernelSocketTable*>(zektest::proxy_table(IOCTL_ZEK_GET_SOCKET_TABLE))};
}

ZekVerbsAddress verbs_address(std::uint32_t host_order) {
  ZekVerbsAddress a{};
  a.Length = sizeof a;
  a.Family = ZEK_AF_INET;
  a.Ipv4 = __builtin_bswap32(host_order);
  return a;
}

}  // namespace verbstest

namespace {

PDEVICE_OBJECT g_device;

using zektest::complete_irp;
constexpr const char16_t* kDevice = u"\\Device\\zekverbstest";
constexpr const char16_t* kLink = u"\\DosDevices\\zekverbstest";

using verbstest::Report;

// The SAN address on the stack's loopback interface (/24); an address the
// stack already has is fine.
void add_address(const ZekKernelSocketTable* sockets, std::uint32_t host_order) {
  const int s = sockets->socket(zektcp::AF_INET, 1 /* stream */, 0);
  if (s < 0) return;
  zektcp::ifaliasreq request = verbstest::san_alias_request(host_order);
  sockets->ioctl(s, zektcp::SIOCAIFADDR, &request);
  sockets->close(s);
}

// The kernel verbs table, with the SAN address put on the stack; null when
// the proxy driver offers no verbs or no socket calls.
const ZekVerbsInterface* verbs_for(std::uint32_t san) {
  const verbstest::KernelTables t = verbstest::kernel_tables();
  if (t.verbs == nullptr || t.sockets == nullptr) return nullptr;
  add_address(t.sockets, san);
  return t.verbs;
}

ZekVerbsAddress address_of(std::uint32_t host_order) { return verbstest::verbs_address(host_order); }

ZekQpCreateInput qp_input(void* pd, void* cq, std::uint32_t size) {
  ZekQpCreateInput in{};
  in.Pd = reinterpret_cast<std::uint64_t>(pd);
  in.SendCq = in.RecvCq = reinterpret_cast<std::uint64_t>(cq);
  in.SqSize = in.RqSize = size;
  in.SqSges = in.RqSges = in.RdmaWSges = 2;
  in.Ord = in.Ird = 4;
  return in;
}

// Opens an adapter with a PD and a CQ of 32 entries.
bool open_with_objects(const ZekVerbsInterface* v, const ZekVerbsAddress& address, void** adapter, void** pd,
                       void** cq) {
  std::uint32_t entries = 0;
  return v->Open(adapter, &address) == 0 && v->PdAllocate(*adapter, pd) == 0 &&
         v->CqCreate(*adapter, cq, &entries, nullptr, nullptr, 32) == 0;
}

// Opens an adapter, makes a PD, a CQ and `count` queue pairs, and closes it
// with them open; the queue pairs' handles into `handles`.
bool open_fill_close(const ZekVerbsInterface* v, const ZekVerbsAddress& address, Report& r, std::uint64_t* handles,
                     int count) {
  void* adapter = nullptr;
  void* pd = nullptr;
  void* cq = nullptr;
  if (!open_with_objects(v, address, &adapter, &pd, &cq)) {
    r.check("fill: open, PD and CQ", 1, 0);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const ZekQpCreateInput in = qp_input(pd, cq, 8);
    ZekQpAttributes out{};
    if (v->QpCreate(adapter, &in, &out, &handles[i]) != 0) r.check("fill: queue pair", 1, 0);
  }
  r.check("close with objects open", v->Close(adapter), 0);
  r.check("the closed adapter is no adapter", v->PdAllocate(adapter, &pd), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  r.check("a second close", v->Close(adapter), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  return true;
}

// The verbs as a kernel client runs them; false when there is nothing to
// run them on yet (no table, or no adapter with the address).
bool run(std::uint32_t san, Report& r) {
  const ZekVerbsInterface* v = verbs_for(san);
  if (v == nullptr) return false;
  const ZekVerbsAddress address = address_of(san);
  void* adapter = nullptr;
  if (v->Open(&adapter, &address) != 0) return false;  // not attached yet
  r.check("table signature", v->Header.Signature, 0x57524F55);
  r.check("table bytes", v->Header.ByteSize, 328);
  void* none = nullptr;
  const ZekVerbsAddress elsewhere = address_of(0x0A4E0009);
  r.check("open on an address the stack does not have", v->Open(&none, &elsewhere),
          IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS);

  // Objects, created, queried and destroyed.
  void* pd = nullptr;
  void* cq = nullptr;
  std::uint32_t entries = 0;
  r.check("pd allocate", v->PdAllocate(adapter, &pd), 0);
  r.check("cq create", v->CqCreate(adapter, &cq, &entries, nullptr, nullptr, 64), 0);
  r.check("cq entries", entries, 64);
  r.check("cq create of 0 entries", v->CqCreate(adapter, &none, &entries, nullptr, nullptr, 0), 12);
  ZekWorkCompletion wc{};
  r.check("poll of an empty CQ", v->CqPollCompletion(adapter, cq, &wc), IWARP_STATUS_CQ_EMPTY);
  r.check("arm, mode 2", v->CqRequestNotification(adapter, cq, 2), IWARP_STATUS_CQ_INVALID_NOTIFY_MODE);
  r.check("arm, mode 0", v->CqRequestNotification(adapter, cq, 0), 0);
  const struct {
    const char* name;
    std::uint32_t size;
    std::uint32_t sges;
    ZekStatus status;
    std::uint32_t usable;
  } cases[] = {
      {"queue pair of 3", 3, 2, 0, 30},
      {"queue pair of 31", 31, 2, 0, 126},
      {"queue pair of 510", 510, 4, 0, 510},
      {"queue pair of 511", 511, 2, IWARP_STATUS_QP_INVALID_NUM_WORK_REQS, 0},
      {"queue pair with 5 SGEs", 8, 5, IWARP_STATUS_QP_INVALID_NUM_SGES, 0},
  };
  std::uint64_t kept = 0;
  for (const auto& c : cases) {
    ZekQpCreateInput in = qp_input(pd, cq, c.size);
    in.SqSges = c.sges;
    ZekQpAttributes out{};
    std::uint64_t qp = 0;
    r.check(c.name, v->QpCreate(adapter, &in, &out, &qp), c.status);
    if (c.status != 0) continue;
    ZekQpAttributes q{};
    r.check("  query", v->QpQuery(adapter, qp, &q), 0);
    r.check("  usable send requests", q.SqSize, c.usable);
    r.check("  state", q.State, ZEK_QP_STATE_IDLE);
    if (kept == 0) {
      kept = qp;
    } else {
      r.check("  destroy", v->QpDestroy(adapter, qp), 0);
    }
  }
  // In use: a PD and a CQ that a queue pair holds.
  r.check("PD in use", v->PdDeallocate(adapter, pd), IWARP_STATUS_PD_PD_IN_USE);
  r.check("CQ in use", v->CqDestroy(adapter, cq), IWARP_STATUS_CQ_IN_USE);
  // A handle beyond the table.
  void* value = nullptr;
  ZekQpAttributes q{};
  r.check("context of QP 8192", v->GetContext(adapter, 8192, ZEK_CONTEXT_QP, &value), IWARP_STATUS_QP_INVALID_HANDLE);
  r.check("query of QP 8192", v->QpQuery(adapter, 8192, &q), IWARP_STATUS_QP_INVALID_HANDLE);
  r.check("destroy of QP 8192", v->QpDestroy(adapter, 8192), IWARP_STATUS_QP_INVALID_HANDLE);
  r.check("destroy", v->QpDestroy(adapter, kept), 0);
  r.check("destroy again", v->QpDestroy(adapter, kept), IWARP_STATUS_QP_INVALID_HANDLE);
  r.check("CQ destroy", v->CqDestroy(adapter, cq), 0);
  r.check("PD deallocate", v->PdDeallocate(adapter, pd), 0);
  r.check("CQ destroy of the freed CQ", v->CqDestroy(adapter, cq), IWARP_STATUS_CQ_INVALID_HANDLE);

  // A close with objects open gives every number back: the same queue-pair
  // numbers come again, round after round.
  std::uint64_t first[4] = {};
  std::uint64_t again[4] = {};
  if (open_fill_close(v, address, r, first, 4)) {
    for (int round = 0; round < 3; ++round) {
      if (!open_fill_close(v, address, r, again, 4)) break;
      for (int i = 0; i < 4; ++i) r.check("the same queue-pair number again", again[i], first[i]);
    }
  }
  r.check("close", v->Close(adapter), 0);
  return true;
}

bool leave_open(std::uint32_t san) {
  const ZekVerbsInterface* v = verbs_for(san);
  if (v == nullptr) return false;
  const ZekVerbsAddress address = address_of(san);
  void* adapter = nullptr;
  void* pd = nullptr;
  void* cq = nullptr;
  if (!open_with_objects(v, address, &adapter, &pd, &cq)) return false;
  const ZekQpCreateInput in = qp_input(pd, cq, 8);
  ZekQpAttributes out{};
  std::uint64_t qp = 0;
  return v->QpCreate(adapter, &in, &out, &qp) == 0;
}

// The report into the caller's buffer (it was checked to hold kReportBytes).
NTSTATUS complete_with_report(PIRP irp, std::uint8_t* buffer, Report& r) {
  r.line("failures=%d\n", r.failures());
  const std::size_t n = r.text().size() < verbstest::kReportBytes ? r.text().size() : verbstest::kReportBytes;
  std::memcpy(buffer, r.text().data(), n);
  return complete_irp(irp, STATUS_SUCCESS, n);
}

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == verbstest::kRdma) {
    if (in != sizeof(verbstest::RdmaRequest) || out < verbstest::kReportBytes) {
      return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    verbstest::RdmaRequest request;
    std::memcpy(&request, buffer, sizeof request);
    Report r;
    if (!verbstest::run_rdma(request, r)) return complete_irp(irp, STATUS_DEVICE_NOT_READY, 0);
    return complete_with_report(irp, buffer, r);
  }
  if (code != verbstest::kRun && code != verbstest::kLeaveOpen) {
    return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (in != sizeof(std::uint32_t)) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
  std::uint32_t san;
  std::memcpy(&san, buffer, sizeof san);
  if (code == verbstest::kLeaveOpen)
    return complete_irp(irp, leave_open(san) ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY, 0);
  if (out < verbstest::kReportBytes) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
  Report r;
  if (!run(san, r)) return complete_irp(irp, STATUS_DEVICE_NOT_READY, 0);
  return complete_with_report(irp, buffer, r);
}

void unload(PDRIVER_OBJECT) { zektest::delete_test_device(kLink, g_device); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  return zektest::create_test_device(driver, kDevice, kLink, &device_control, &unload, &g_device);
}
