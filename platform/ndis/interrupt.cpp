// Interrupts: the miniport's service routine runs at the function's device
// IRQL on the vector's interrupt thread; the DPC it asks for is one DPC
// object per interrupt, so it runs at DISPATCH_LEVEL and never twice at once.
#include <cstring>

#include "platform/ndis/internal.h"

namespace plat::ndis {

struct Interrupt {
  Adapter* adapter;
  NDIS_HANDLE context;
  NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS handlers;
  NDIS_INTERRUPT_TYPE type;
  PKINTERRUPT object;
  KDPC dpc;
  IO_INTERRUPT_MESSAGE_INFO messages;
};

namespace {

void interrupt_dpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* irq = static_cast<Interrupt*>(context);
  if (irq->type == NDIS_CONNECT_MESSAGE_BASED && irq->handlers.MessageInterruptDpcHandler != nullptr) {
    irq->handlers.MessageInterruptDpcHandler(irq->context, 0, nullptr, nullptr, nullptr);
  } else {
    irq->handlers.InterruptDpcHandler(irq->context, nullptr, nullptr, nullptr);
  }
}

BOOLEAN line_isr(PKINTERRUPT, PVOID context) {
  auto* irq = static_cast<Interrupt*>(context);
  BOOLEAN queue_dpc = FALSE;
  ULONG targets = 0;
  const BOOLEAN ours = irq->handlers.InterruptHandler(irq->context, &queue_dpc, &targets);
  if (ours && queue_dpc) KeInsertQueueDpc(&irq->dpc, nullptr, nullptr);
  return ours;
}

BOOLEAN message_isr(PKINTERRUPT, PVOID context, ULONG message) {
  auto* irq = static_cast<Interrupt*>(context);
  BOOLEAN queue_dpc = FALSE;
  ULONG targets = 0;
  const BOOLEAN ours = irq->handlers.MessageInterruptHandler(irq->context, message, &queue_dpc, &targets);
  if (ours && queue_dpc) KeInsertQueueDpc(&irq->dpc, nullptr, nullptr);
  return ours;
}

}  // namespace
}  // namespace plat::ndis

NDIS_STATUS NdisMRegisterInterruptEx(NDIS_HANDLE handle, NDIS_HANDLE MiniportInterruptContext,
                                     PNDIS_MINIPORT_INTERRUPT_CHARACTERISTICS characteristics,
                                     PNDIS_HANDLE NdisInterruptHandle) {
  using plat::ndis::Interrupt;
  plat::ndis::Adapter& adapter = plat::ndis::adapter_of(handle);
  if (characteristics == nullptr || NdisInterruptHandle == nullptr ||
      characteristics->Header.Type != NDIS_OBJECT_TYPE_MINIPORT_INTERRUPT ||
      characteristics->InterruptHandler == nullptr || characteristics->InterruptDpcHandler == nullptr) {
    return NDIS_STATUS_INVALID_PARAMETER;
  }
  auto* irq = static_cast<Interrupt*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Interrupt), plat::ndis::kNdisTag));
  if (irq == nullptr) return NDIS_STATUS_RESOURCES;
  std::memset(irq, 0, sizeof *irq);
  irq->adapter = &adapter;
  irq->context = MiniportInterruptContext;
  irq->handlers = *characteristics;
  const bool messages = plat::ndis::Ndis::current().options().message_interrupts && characteristics->MsiSupported &&
                        characteristics->MessageInterruptHandler != nullptr;
  irq->type = messages ? NDIS_CONNECT_MESSAGE_BASED : NDIS_CONNECT_LINE_BASED;
  KeInitializeDpc(&irq->dpc, &plat::ndis::interrupt_dpc, irq);
  const plat::PciFunction& f = adapter.function_;
  NTSTATUS status = plat::ndis::Ndis::current().kernel().interrupts().connect(
      f.interrupt_vector, f.interrupt_irql, messages ? nullptr : &plat::ndis::line_isr,
      messages ? &plat::ndis::message_isr : nullptr, irq, nullptr, &irq->object);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(irq, plat::ndis::kNdisTag);
    return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  characteristics->InterruptType = irq->type;
  if (messages) {
    irq->messages.UnifiedIrql = f.interrupt_irql;
    irq->messages.MessageCount = 1;
    irq->messages.MessageInfo[0] = {f.interrupt_vector, f.interrupt_irql};
    characteristics->MessageInfoTable = &irq->messages;
  } else {
    characteristics->MessageInfoTable = nullptr;
  }
  plat::ndis::hold(&adapter, [](auto& h) { ++h.interrupts; });
  *NdisInterruptHandle = irq;
  return NDIS_STATUS_SUCCESS;
}

void NdisMDeregisterInterruptEx(NDIS_HANDLE NdisInterruptHandle) {
  auto* irq = static_cast<plat::ndis::Interrupt*>(NdisInterruptHandle);
  if (irq == nullptr) return;
  plat::ndis::Ndis::current().kernel().interrupts().disconnect(irq->object);
  KeRemoveQueueDpc(&irq->dpc);
  KeFlushQueuedDpcs();
  plat::ndis::hold(irq->adapter, [](auto& h) { --h.interrupts; });
  ExFreePoolWithTag(irq, plat::ndis::kNdisTag);
}

BOOLEAN NdisMSynchronizeWithInterruptEx(NDIS_HANDLE NdisInterruptHandle, ULONG, PKSYNCHRONIZE_ROUTINE routine,
                                        PVOID context) {
  auto* irq = static_cast<plat::ndis::Interrupt*>(NdisInterruptHandle);
  return KeSynchronizeExecution(irq->object, routine, context);
}
