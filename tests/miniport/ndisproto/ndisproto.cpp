// The NDIS protocol test driver: the protocol above the host's miniport
// adapters, driven by a process through "\\.\zekndisproto" (ndisproto.h).
// Built only for tests. Requests are served one at a time.
#include "tests/miniport/ndisproto/ndisproto.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/driver.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/ndis/host.h"
#include "platform/ndis/ndis.h"
#include "platform/ndis/oids.h"
#include "tests/miniport/nbl_sender.h"
#include "tests/support/test_device.h"

namespace {

struct Driver {
  PDEVICE_OBJECT device = nullptr;
  std::mutex mu;  // one request at a time
};
Driver* g = nullptr;

using zektest::complete_irp;
using zektest::pass_irp;

plat::ndis::Adapter* adapter_at(std::uint32_t index) {
  plat::ndis::Ndis* ndis = plat::ndis::Ndis::try_current();
  if (ndis == nullptr) return nullptr;
  const auto adapters = ndis->adapters();
  return index < adapters.size() ? adapters[index] : nullptr;
}

NDIS_STATUS oid(plat::ndis::Adapter& adapter, NDIS_REQUEST_TYPE type, NDIS_OID id, void* buffer, ULONG length) {
  NDIS_OID_REQUEST r{};
  r.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof r};
  r.RequestType = type;
  r.DATA.QUERY_INFORMATION.Oid = id;
  r.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
  r.DATA.QUERY_INFORMATION.InformationBufferLength = length;
  return plat::ndis::Ndis::current().oid_request(adapter, r);
}

bool link_up(const plat::ndis::Adapter& adapter) {
  bool up = false;
  for (const auto& r : adapter.status_indications()) {
    if (r.code != NDIS_STATUS_LINK_STATE || r.buffer.size() < sizeof(NDIS_LINK_STATE)) continue;
    NDIS_LINK_STATE state;
    std::memcpy(&state, r.buffer.data(), sizeof state);
    up = state.MediaConnectState == MediaConnectStateConnected;
  }
  return up;
}

NTSTATUS open(plat::ndis::Adapter& adapter, ndisproto::Opened* out) {
  ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
  if (oid(adapter, NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter) !=
      NDIS_STATUS_SUCCESS) {
    return STATUS_DEVICE_NOT_READY;
  }
  *out = {};
  if (oid(adapter, NdisRequestQueryInformation, OID_802_3_CURRENT_ADDRESS, out->mac, sizeof out->mac) !=
      NDIS_STATUS_SUCCESS) {
    return STATUS_DEVICE_NOT_READY;
  }
  out->running = adapter.state() == plat::ndis::AdapterState::Running ? 1 : 0;
  out->link_up = link_up(adapter) ? 1 : 0;
  return STATUS_SUCCESS;
}

NTSTATUS send(plat::ndis::Adapter& adapter, const ndisproto::Send& in, ndisproto::Sent* out) {
  if (in.count == 0 || in.count > ndisproto::kMaxFrames || in.length < 60 || in.length > 9014) {
    return STATUS_INVALID_PARAMETER;
  }
  ndisproto::Opened self;
  if (open(adapter, &self) != STATUS_SUCCESS) return STATUS_DEVICE_NOT_READY;
  std::vector<std::uint8_t> frame(in.length);
  std::memcpy(frame.data(), in.destination, 6);
  std::memcpy(frame.data() + 6, self.mac, 6);
  frame[12] = ndisproto::kEtherType >> 8;
  frame[13] = ndisproto::kEtherType & 0xFF;
  for (std::size_t i = 14; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(in.seed + i);
  auto* lists = new datapath::Sender;
  std::vector<NET_BUFFER_LIST*> chain(in.count);
  for (NET_BUFFER_LIST*& nbl : chain) nbl = lists->make(frame);
  const std::uint64_t before = adapter.send_completion_count();
  plat::ndis::Ndis::current().send(adapter, datapath::Sender::chain(chain));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ndisproto::kSendWaitMs);
  while (adapter.send_completion_count() - before < in.count && std::chrono::steady_clock::now() < deadline) {
    NdisMSleep(1000);
  }
  out->completed = static_cast<std::uint32_t>(adapter.send_completion_count() - before);
  if (out->completed < in.count) {
    // The miniport still holds lists: their memory stays with them.
    out->succeeded = 0;
    return STATUS_IO_TIMEOUT;
  }
  // This request's completions are the last ones recorded.
  const auto records = adapter.send_completions();
  out->succeeded = 0;
  for (std::size_t i = records.size() - std::min<std::size_t>(records.size(), in.count); i < records.size(); ++i) {
    out->succeeded += records[i].second == NDIS_STATUS_SUCCESS;
  }
  delete lists;
  return STATUS_SUCCESS;
}

ndisproto::Received count(const plat::ndis::Adapter& adapter, const ndisproto::Match& in) {
  ndisproto::Received out{adapter.receive_count(), 0};
  for (const auto& f : adapter.received_frames()) {
    if (f.size() != in.length || f.size() < 14) continue;
    bool follows = true;
    for (std::size_t i = 14; i < f.size() && follows; ++i) follows = f[i] == static_cast<std::uint8_t>(in.seed + i);
    out.matching += follows;
  }
  return out;
}

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  std::lock_guard lock(g->mu);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case ndisproto::kOpen: {
      std::uint32_t index = 0;
      if (in != sizeof index || out != sizeof(ndisproto::Opened)) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
      std::memcpy(&index, buffer, sizeof index);
      plat::ndis::Adapter* adapter = adapter_at(index);
      if (adapter == nullptr) return complete_irp(irp, STATUS_NO_SUCH_DEVICE, 0);
      ndisproto::Opened opened;
      const NTSTATUS status = open(*adapter, &opened);
      if (status != STATUS_SUCCESS) return complete_irp(irp, status, 0);
      std::memcpy(buffer, &opened, sizeof opened);
      return complete_irp(irp, STATUS_SUCCESS, sizeof opened);
    }
    case ndisproto::kSend: {
      ndisproto::Send request;
      if (in != sizeof request || out != sizeof(ndisproto::Sent)) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
      std::memcpy(&request, buffer, sizeof request);
      plat::ndis::Adapter* adapter = adapter_at(request.adapter);
      if (adapter == nullptr) return complete_irp(irp, STATUS_NO_SUCH_DEVICE, 0);
      ndisproto::Sent sent{};
      const NTSTATUS status = send(*adapter, request, &sent);
      std::memcpy(buffer, &sent, sizeof sent);
      return complete_irp(irp, status, sizeof sent);
    }
    case ndisproto::kCount: {
      ndisproto::Match request;
      if (in != sizeof request || out != sizeof(ndisproto::Received)) {
        return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
      }
      std::memcpy(&request, buffer, sizeof request);
      plat::ndis::Adapter* adapter = adapter_at(request.adapter);
      if (adapter == nullptr) return complete_irp(irp, STATUS_NO_SUCH_DEVICE, 0);
      const ndisproto::Received received = count(*adapter, request);
      std::memcpy(buffer, &received, sizeof received);
      return complete_irp(irp, STATUS_SUCCESS, sizeof received);
    }
    default:
      return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

void unload(PDRIVER_OBJECT) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\zekndisproto");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(g->device);
  delete g;
  g = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g = new Driver;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\zekndisproto");
  RtlInitUnicodeString(&link, u"\\DosDevices\\zekndisproto");
  const NTSTATUS status =
      IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &g->device);
  if (!NT_SUCCESS(status)) {
    delete g;
    g = nullptr;
    return status;
  }
  IoCreateSymbolicLink(&link, &name);
  driver->MajorFunction[IRP_MJ_CREATE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLOSE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &device_control;
  driver->DriverUnload = &unload;
  g->device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
