// Miniport registration, attributes, completions, status indications, the
// error log and removal.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/ndis/internal.h"

using plat::ndis::Adapter;
using plat::ndis::Ndis;

NDIS_STATUS NdisMRegisterMiniportDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING, NDIS_HANDLE MiniportDriverContext,
                                        PNDIS_MINIPORT_DRIVER_CHARACTERISTICS characteristics,
                                        PNDIS_HANDLE NdisMiniportDriverHandle) {
  if (DriverObject == nullptr || characteristics == nullptr || NdisMiniportDriverHandle == nullptr) {
    return NDIS_STATUS_INVALID_PARAMETER;
  }
  if (characteristics->Header.Type != NDIS_OBJECT_TYPE_MINIPORT_DRIVER_CHARACTERISTICS) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  if (characteristics->MajorNdisVersion != 6) return NDIS_STATUS_BAD_VERSION;
  if (characteristics->InitializeHandlerEx == nullptr || characteristics->HaltHandlerEx == nullptr ||
      characteristics->PauseHandler == nullptr || characteristics->RestartHandler == nullptr) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  auto* driver = Ndis::current().register_miniport(DriverObject, MiniportDriverContext, *characteristics);
  if (driver == nullptr) return NDIS_STATUS_FAILURE;
  *NdisMiniportDriverHandle = driver;
  return NDIS_STATUS_SUCCESS;
}

void NdisMDeregisterMiniportDriver(NDIS_HANDLE handle) {
  Ndis::current().deregister_miniport(static_cast<plat::ndis::MiniportDriver*>(handle));
}

NDIS_STATUS NdisMSetMiniportAttributes(NDIS_HANDLE MiniportAdapterHandle,
                                       PNDIS_MINIPORT_ADAPTER_ATTRIBUTES attributes) {
  Adapter& adapter = plat::ndis::adapter_of(MiniportAdapterHandle);
  if (attributes == nullptr) return NDIS_STATUS_INVALID_PARAMETER;
  std::lock_guard lock(adapter.mu_);
  if (!adapter.in_initialize_) return NDIS_STATUS_FAILURE;
  auto copy_record = [](const NDIS_OBJECT_HEADER* header) {
    std::vector<std::uint8_t> bytes;
    if (header != nullptr) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(header);
      bytes.assign(p, p + header->Size);
    }
    return bytes;
  };
  switch (attributes->RegistrationAttributes.Header.Type) {
    case NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES:
      adapter.attributes_.registration = attributes->RegistrationAttributes;
      adapter.context_ = attributes->RegistrationAttributes.MiniportAdapterContext;
      return NDIS_STATUS_SUCCESS;
    case NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES: {
      if (!adapter.attributes_.registration) return NDIS_STATUS_FAILURE;
      auto general = attributes->GeneralAttributes;
      const auto* oids = general.SupportedOidList;
      adapter.attributes_.supported_oids.assign(
          oids, oids == nullptr ? oids : oids + general.SupportedOidListLength / sizeof(NDIS_OID));
      general.SupportedOidList = nullptr;
      general.PowerManagementCapabilities = nullptr;
      general.RecvScaleCapabilities = nullptr;
      adapter.attributes_.general = general;
      return NDIS_STATUS_SUCCESS;
    }
    case NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES:
      if (!adapter.attributes_.registration) return NDIS_STATUS_FAILURE;
      adapter.attributes_.default_offload = copy_record(attributes->OffloadAttributes.DefaultOffloadConfiguration);
      adapter.attributes_.hardware_offload = copy_record(attributes->OffloadAttributes.HardwareOffloadCapabilities);
      return NDIS_STATUS_SUCCESS;
    default:
      return NDIS_STATUS_INVALID_PARAMETER;
  }
}

void NdisMRestartComplete(NDIS_HANDLE handle, NDIS_STATUS Status) {
  Ndis::current().complete_restart(plat::ndis::adapter_of(handle), Status);
}

void NdisMPauseComplete(NDIS_HANDLE handle) { Ndis::current().complete_pause(plat::ndis::adapter_of(handle)); }

void NdisMResetComplete(NDIS_HANDLE handle, NDIS_STATUS Status, BOOLEAN) {
  Ndis::current().complete_reset(plat::ndis::adapter_of(handle), Status);
}

void NdisMOidRequestComplete(NDIS_HANDLE handle, PNDIS_OID_REQUEST OidRequest, NDIS_STATUS Status) {
  Ndis::current().complete_oid(plat::ndis::adapter_of(handle), OidRequest, Status);
}

NDIS_STATUS NdisMRemoveMiniport(NDIS_HANDLE handle) {
  Ndis::current().request_removal(plat::ndis::adapter_of(handle));
  return NDIS_STATUS_SUCCESS;
}

void NdisMIndicateStatusEx(NDIS_HANDLE handle, PNDIS_STATUS_INDICATION indication) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  if (indication == nullptr) return;
  plat::ndis::StatusRecord record{indication->StatusCode, {}};
  if (indication->StatusBuffer != nullptr) {
    const auto* p = static_cast<const std::uint8_t*>(indication->StatusBuffer);
    record.buffer.assign(p, p + indication->StatusBufferSize);
  }
  char line[112];
  std::snprintf(line, sizeof line, ": status indication 0x%08x (%u bytes)", static_cast<unsigned>(record.code),
                indication->StatusBufferSize);
  // A link-state indication says which way the link went.
  if (record.code == NDIS_STATUS_LINK_STATE && indication->StatusBufferSize >= sizeof(NDIS_LINK_STATE)) {
    const auto* link = static_cast<const NDIS_LINK_STATE*>(indication->StatusBuffer);
    std::strncat(line, link->MediaConnectState == MediaConnectStateConnected ? ": link up" : ": link down",
                 sizeof line - std::strlen(line) - 1);
  }
  {
    std::lock_guard lock(adapter.mu_);
    adapter.statuses_.push_back(std::move(record));
  }
  Ndis::current().log("ndis: " + adapter.name_ + line);
}

void NdisWriteErrorLogEntry(NDIS_HANDLE handle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues, ...) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  plat::ndis::ErrorLogEntry entry{ErrorCode, {}};
  std::va_list values;
  va_start(values, NumberOfErrorValues);
  for (ULONG i = 0; i < NumberOfErrorValues; ++i) {
    const ULONG value = va_arg(values, ULONG);
    if (i < 16) entry.values.push_back(value);
  }
  va_end(values);
  std::string line = "ndis: " + adapter.name_ + ": error log ";
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(ErrorCode));
  line += text;
  for (ULONG v : entry.values) line += " " + std::to_string(v);
  {
    std::lock_guard lock(adapter.mu_);
    adapter.error_log_.push_back(std::move(entry));
  }
  Ndis::current().log(line);
}
