// Security descriptors: built and checked for form, never enforced here.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/advapi/advapi.h"
#include "platform/common/text.h"

namespace {

// The self-relative form: offsets instead of pointers.
struct RelativeDescriptor {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  DWORD Owner;
  DWORD Group;
  DWORD Sacl;
  DWORD Dacl;
};
static_assert(sizeof(RelativeDescriptor) == 20);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40);

constexpr SECURITY_DESCRIPTOR_CONTROL kDaclAutoInheritReq = 0x0100;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclAutoInheritReq = 0x0200;
constexpr SECURITY_DESCRIPTOR_CONTROL kDaclAutoInherited = 0x0400;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclAutoInherited = 0x0800;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclProtected = 0x2000;

struct Alias {
  std::string_view name;
  std::string_view sid;
};

constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"NU", "S-1-5-2"},
    {"IU", "S-1-5-4"},      {"SU", "S-1-5-6"},      {"AN", "S-1-5-7"},      {"PS", "S-1-5-10"},
    {"AU", "S-1-5-11"},     {"RC", "S-1-5-12"},     {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},
    {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"},
    {"PU", "S-1-5-32-547"}, {"AO", "S-1-5-32-548"}, {"SO", "S-1-5-32-549"}, {"PO", "S-1-5-32-550"},
    {"BO", "S-1-5-32-551"}, {"RE", "S-1-5-32-552"}, {"RU", "S-1-5-32-554"}, {"RD", "S-1-5-32-555"},
    {"NO", "S-1-5-32-556"},
};

struct Right {
  std::string_view name;
  DWORD mask;
};

constexpr Right kRights[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"RC", 0x00020000},
    {"SD", 0x00010000}, {"WD", 0x00040000}, {"WO", 0x00080000}, {"FA", 0x001F01FF}, {"FR", 0x00120089},
    {"FW", 0x00120116}, {"FX", 0x001200A0}, {"KA", 0x000F003F}, {"KR", 0x00020019}, {"KW", 0x00020006},
    {"KX", 0x00020019}, {"CC", 0x00000001}, {"DC", 0x00000002}, {"LC", 0x00000004}, {"SW", 0x00000008},
    {"RP", 0x00000010}, {"WP", 0x00000020}, {"DT", 0x00000040}, {"LO", 0x00000080}, {"CR", 0x00000100},
};

struct Flag {
  std::string_view name;
  BYTE bits;
};

constexpr Flag kAceFlags[] = {{"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08},
                              {"ID", 0x10}, {"SA", 0x40}, {"FA", 0x80}};

struct AceType {
  std::string_view name;
  BYTE type;
};

constexpr AceType kAceTypes[] = {{"A", 0}, {"D", 1}, {"AU", 2}, {"AL", 3}};

// Why a conversion failed.
struct Failure {
  DWORD error;
};

// A SID in its binary form: revision, count, authority (6 bytes, big
// endian), subauthorities.
std::vector<BYTE> sid_of(std::string_view text) {
  for (const auto& alias : kAliases) {
    if (alias.name == text) return sid_of(alias.sid);
  }
  if (!text.starts_with("S-1-")) {
    // Two letters that name no account, or anything else.
    throw Failure{text.size() == 2 ? ERROR_NONE_MAPPED : ERROR_INVALID_PARAMETER};
  }
  std::vector<unsigned long long> parts;
  std::string_view rest = text.substr(4);
  while (!rest.empty()) {
    const auto dash = rest.find('-');
    std::string_view part = rest.substr(0, dash);
    if (part.empty() || part.size() > 15) throw Failure{ERROR_INVALID_PARAMETER};
    unsigned long long v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') throw Failure{ERROR_INVALID_PARAMETER};
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    parts.push_back(v);
    rest = dash == std::string_view::npos ? std::string_view() : rest.substr(dash + 1);
    if (dash != std::string_view::npos && rest.empty()) throw Failure{ERROR_INVALID_PARAMETER};
  }
  if (parts.empty() || parts.size() > 16 || parts[0] >= (1ull << 48)) throw Failure{ERROR_INVALID_PARAMETER};
  std::vector<BYTE> sid{1, static_cast<BYTE>(parts.size() - 1)};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[0] >> shift));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] > 0xFFFFFFFFull) throw Failure{ERROR_INVALID_PARAMETER};
    const auto v = static_cast<DWORD>(parts[i]);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&v);
    sid.insert(sid.end(), bytes, bytes + 4);
  }
  return sid;
}

DWORD rights_of(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    if (text.size() <= 2 || text.size() > 10) throw Failure{ERROR_INVALID_PARAMETER};
    DWORD v = 0;
    for (char c : text.substr(2)) {
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) throw Failure{ERROR_INVALID_PARAMETER};
      v = v * 16 + static_cast<DWORD>(d);
    }
    return v;
  }
  if (text.size() % 2 != 0) throw Failure{ERROR_INVALID_PARAMETER};
  DWORD mask = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bool found = false;
    for (const auto& right : kRights) {
      if (right.name == text.substr(i, 2)) {
        mask |= right.mask;
        found = true;
      }
    }
    if (!found) throw Failure{ERROR_INVALID_PARAMETER};
  }
  return mask;
}

BYTE ace_flags_of(std::string_view text) {
  if (text.size() % 2 != 0) throw Failure{ERROR_INVALID_PARAMETER};
  BYTE flags = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bool found = false;
    for (const auto& flag : kAceFlags) {
      if (flag.name == text.substr(i, 2)) {
        flags |= flag.bits;
        found = true;
      }
    }
    if (!found) throw Failure{ERROR_INVALID_PARAMETER};
  }
  return flags;
}

// "(type;flags;rights;object;inherited object;sid)"
std::vector<BYTE> ace_of(std::string_view text) {
  std::vector<std::string_view> fields;
  while (true) {
    const auto semi = text.find(';');
    fields.push_back(text.substr(0, semi));
    if (semi == std::string_view::npos) break;
    text = text.substr(semi + 1);
  }
  if (fields.size() != 6) throw Failure{ERROR_INVALID_PARAMETER};
  // Object ACEs (with object GUIDs) are not known here.
  if (!fields[3].empty() || !fields[4].empty()) throw Failure{ERROR_INVALID_PARAMETER};
  std::optional<BYTE> type;
  for (const auto& t : kAceTypes) {
    if (t.name == fields[0]) type = t.type;
  }
  if (!type) throw Failure{ERROR_INVALID_PARAMETER};
  const BYTE flags = ace_flags_of(fields[1]);
  const DWORD mask = rights_of(fields[2]);
  const std::vector<BYTE> sid = sid_of(fields[5]);
  const auto size = static_cast<WORD>(8 + sid.size());
  std::vector<BYTE> ace{*type, flags, static_cast<BYTE>(size), static_cast<BYTE>(size >> 8)};
  const BYTE* m = reinterpret_cast<const BYTE*>(&mask);
  ace.insert(ace.end(), m, m + 4);
  ace.insert(ace.end(), sid.begin(), sid.end());
  return ace;
}

// An ACL's flags and ACEs: "P AI AR" followed by "(...)" entries.
std::vector<BYTE> acl_of(std::string_view text, SECURITY_DESCRIPTOR_CONTROL* control, bool dacl, bool* null_acl) {
  *null_acl = false;
  if (text == "NO_ACCESS_CONTROL") {
    *null_acl = true;
    return {};
  }
  while (!text.empty() && text.front() != '(') {
    if (text.starts_with("P")) {
      *control |= dacl ? SE_DACL_PROTECTED : kSaclProtected;
      text.remove_prefix(1);
    } else if (text.starts_with("AI")) {
      *control |= dacl ? kDaclAutoInherited : kSaclAutoInherited;
      text.remove_prefix(2);
    } else if (text.starts_with("AR")) {
      *control |= dacl ? kDaclAutoInheritReq : kSaclAutoInheritReq;
      text.remove_prefix(2);
    } else {
      throw Failure{ERROR_INVALID_PARAMETER};
    }
  }
  std::vector<BYTE> aces;
  WORD count = 0;
  while (!text.empty()) {
    if (text.front() != '(') throw Failure{ERROR_INVALID_PARAMETER};
    const auto close = text.find(')');
    if (close == std::string_view::npos) throw Failure{ERROR_INVALID_PARAMETER};
    const auto ace = ace_of(text.substr(1, close - 1));
    aces.insert(aces.end(), ace.begin(), ace.end());
    ++count;
    text.remove_prefix(close + 1);
  }
  const auto size = static_cast<WORD>(8 + aces.size());
  std::vector<BYTE> acl{2,
                        0,
                        static_cast<BYTE>(size),
                        static_cast<BYTE>(size >> 8),
                        static_cast<BYTE>(count),
                        static_cast<BYTE>(count >> 8),
                        0,
                        0};
  acl.insert(acl.end(), aces.begin(), aces.end());
  return acl;
}

// The self-relative descriptor of an SDDL string.
std::vector<BYTE> descriptor_of(std::string_view text) {
  RelativeDescriptor head{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
  std::vector<BYTE> body;
  bool seen[4] = {};
  while (!text.empty()) {
    if (text.size() < 2 || text[1] != ':') throw Failure{ERROR_INVALID_PARAMETER};
    const char part = text[0];
    text.remove_prefix(2);
    // The part ends where the next "X:" starts.
    std::size_t end = 0;
    int depth = 0;
    for (; end < text.size(); ++end) {
      if (text[end] == '(') ++depth;
      if (text[end] == ')') --depth;
      if (depth == 0 && end + 1 < text.size() && text[end + 1] == ':' &&
          (text[end] == 'O' || text[end] == 'G' || text[end] == 'D' || text[end] == 'S')) {
        break;
      }
    }
    const std::string_view value = text.substr(0, end);
    text.remove_prefix(end);
    const DWORD offset = static_cast<DWORD>(sizeof head + body.size());
    std::vector<BYTE> piece;
    bool null_acl = false;
    switch (part) {
      case 'O':
        if (seen[0]) throw Failure{ERROR_INVALID_PARAMETER};
        seen[0] = true;
        piece = sid_of(value);
        head.Owner = offset;
        break;
      case 'G':
        if (seen[1]) throw Failure{ERROR_INVALID_PARAMETER};
        seen[1] = true;
        piece = sid_of(value);
        head.Group = offset;
        break;
      case 'D':
        if (seen[2]) throw Failure{ERROR_INVALID_PARAMETER};
        seen[2] = true;
        piece = acl_of(value, &head.Control, true, &null_acl);
        head.Control |= SE_DACL_PRESENT;
        if (!null_acl) head.Dacl = offset;
        break;
      case 'S':
        if (seen[3]) throw Failure{ERROR_INVALID_PARAMETER};
        seen[3] = true;
        piece = acl_of(value, &head.Control, false, &null_acl);
        head.Control |= SE_SACL_PRESENT;
        if (!null_acl) head.Sacl = offset;
        break;
      default:
        throw Failure{ERROR_INVALID_PARAMETER};
    }
    body.insert(body.end(), piece.begin(), piece.end());
  }
  std::vector<BYTE> out(sizeof head);
  std::memcpy(out.data(), &head, sizeof head);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (pSecurityDescriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *sd = SECURITY_DESCRIPTOR{};
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
  if (pSecurityDescriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
  if (sd->Control & SE_SELF_RELATIVE) return fail(ERROR_INVALID_SECURITY_DESCR);
  sd->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (bDaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = pDacl;  // null: a null DACL, open to everyone
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (pSecurityDescriptor == nullptr) return fail(ERROR_INVALID_SECURITY_DESCR);
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_INVALID_SECURITY_DESCR);
  return TRUE;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
  if (StringSecurityDescriptor == nullptr || SecurityDescriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (StringSDRevision != SDDL_REVISION_1) return fail(ERROR_UNKNOWN_REVISION);
  std::vector<BYTE> descriptor;
  try {
    descriptor = descriptor_of(StringSecurityDescriptor);
  } catch (const Failure& failure) {
    return fail(failure.error);
  }
  void* block = LocalAlloc(LMEM_FIXED, descriptor.size());
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(block, descriptor.data(), descriptor.size());
  *SecurityDescriptor = block;
  if (SecurityDescriptorSize != nullptr) *SecurityDescriptorSize = static_cast<ULONG>(descriptor.size());
  return TRUE;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
  if (StringSecurityDescriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const std::string text = plat::to_utf8(StringSecurityDescriptor);
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), StringSDRevision, SecurityDescriptor,
                                                              SecurityDescriptorSize);
}
