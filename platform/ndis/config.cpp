// Configuration: an adapter's keywords are the values of its registry key
// (the key the PCI function names; zekhost fills it from host.conf).
#include <cctype>
#include <cstring>
#include <list>

#include "platform/ndis/internal.h"

namespace {

using plat::ndis::Adapter;

struct Configuration {
  Adapter* adapter;
  std::u16string key;
  // Parameters handed out stay until the handle is closed.
  std::list<NDIS_CONFIGURATION_PARAMETER> parameters;
  std::list<std::u16string> strings;
  std::list<std::array<std::uint8_t, 6>> addresses;
};

std::u16string text_of(const plat::Registry::Value& value) {
  std::u16string text(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

// Decimal, or hex (for hex reads, or with a "0x" prefix); false when the
// text is not a whole number that fits 32 bits.
bool parse_integer(std::u16string_view text, bool hex, ULONG* out) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char16_t c : text) {
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (hex && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (hex && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return false;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<ULONG>(value);
  return true;
}

}  // namespace

NDIS_STATUS NdisOpenConfigurationEx(PNDIS_CONFIGURATION_OBJECT object, PNDIS_HANDLE handle) {
  if (object == nullptr || handle == nullptr) return NDIS_STATUS_INVALID_PARAMETER;
  Adapter& adapter = plat::ndis::adapter_of(object->NdisHandle);
  auto* configuration = new Configuration{&adapter, adapter.key_, {}, {}, {}};
  plat::ndis::hold(&adapter, [](auto& h) { ++h.configurations; });
  *handle = configuration;
  return NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE handle) {
  auto* configuration = static_cast<Configuration*>(handle);
  if (configuration == nullptr) return;
  plat::ndis::hold(configuration->adapter, [](auto& h) { --h.configurations; });
  delete configuration;
}

void NdisReadConfiguration(NDIS_STATUS* Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue, NDIS_HANDLE handle,
                           PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType) {
  *Status = NDIS_STATUS_FAILURE;
  *ParameterValue = nullptr;
  auto* configuration = static_cast<Configuration*>(handle);
  plat::Registry* registry = plat::Registry::try_current();
  if (configuration == nullptr || Keyword == nullptr || registry == nullptr || configuration->key.empty()) return;
  auto value = registry->get(configuration->key, plat::view_of(Keyword));
  if (!value) return;
  NDIS_CONFIGURATION_PARAMETER parameter{};
  switch (value->type) {
    case REG_DWORD:
      if (value->data.size() < 4) return;
      parameter.ParameterType = NdisParameterInteger;
      std::memcpy(&parameter.ParameterData.IntegerData, value->data.data(), 4);
      break;
    case REG_SZ:
    case REG_EXPAND_SZ: {
      const std::u16string text = text_of(*value);
      if (ParameterType == NdisParameterInteger || ParameterType == NdisParameterHexInteger) {
        parameter.ParameterType = ParameterType;
        if (!parse_integer(text, ParameterType == NdisParameterHexInteger, &parameter.ParameterData.IntegerData)) {
          return;
        }
      } else {
        const std::u16string& kept = configuration->strings.emplace_back(text);
        parameter.ParameterType = NdisParameterString;
        parameter.ParameterData.StringData.Buffer = const_cast<PWSTR>(kept.c_str());
        parameter.ParameterData.StringData.Length = static_cast<USHORT>(kept.size() * 2);
        parameter.ParameterData.StringData.MaximumLength = static_cast<USHORT>(kept.size() * 2 + 2);
      }
      break;
    }
    case REG_MULTI_SZ: {
      const std::u16string& kept = configuration->strings.emplace_back(
          reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2);
      parameter.ParameterType = NdisParameterMultiString;
      parameter.ParameterData.StringData.Buffer = const_cast<PWSTR>(kept.c_str());
      parameter.ParameterData.StringData.Length = static_cast<USHORT>(kept.size() * 2);
      parameter.ParameterData.StringData.MaximumLength = static_cast<USHORT>(kept.size() * 2);
      break;
    }
    default: {
      const std::u16string& kept = configuration->strings.emplace_back(
          reinterpret_cast<const char16_t*>(value->data.data()), (value->data.size() + 1) / 2);
      parameter.ParameterType = NdisParameterBinary;
      parameter.ParameterData.BinaryData.Length = static_cast<USHORT>(value->data.size());
      parameter.ParameterData.BinaryData.Buffer = const_cast<char16_t*>(kept.data());
      break;
    }
  }
  *ParameterValue = &configuration->parameters.emplace_back(parameter);
  *Status = NDIS_STATUS_SUCCESS;
}

void NdisReadNetworkAddress(NDIS_STATUS* Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE handle) {
  *Status = NDIS_STATUS_FAILURE;
  *NetworkAddress = nullptr;
  *NetworkAddressLength = 0;
  auto* configuration = static_cast<Configuration*>(handle);
  plat::Registry* registry = plat::Registry::try_current();
  if (configuration == nullptr || registry == nullptr || configuration->key.empty()) return;
  auto value = registry->get(configuration->key, u"NetworkAddress");
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return;
  std::array<std::uint8_t, 6> address{};
  unsigned digits = 0;
  for (char16_t c : text_of(*value)) {
    if (c == u'-' || c == u':') continue;
    unsigned nibble;
    if (c >= u'0' && c <= u'9') {
      nibble = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      nibble = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      nibble = c - u'A' + 10;
    } else {
      return;
    }
    if (digits >= 12) return;
    address[digits / 2] = static_cast<std::uint8_t>(address[digits / 2] << 4 | nibble);
    ++digits;
  }
  if (digits != 12) return;
  *NetworkAddress = configuration->addresses.emplace_back(address).data();
  *NetworkAddressLength = 6;
  *Status = NDIS_STATUS_SUCCESS;
}
