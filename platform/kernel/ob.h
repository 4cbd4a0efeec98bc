// Object manager: kernel handles and references on kernel objects.
#pragma once

#include "platform/kernel/rtl.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;

inline constexpr ULONG OBJ_INHERIT = 0x00000002;
inline constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
inline constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr ACCESS_MASK THREAD_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
inline constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
inline constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
inline constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes, HANDLE root,
                                       PVOID security) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = root;
  p->Attributes = attributes;
  p->ObjectName = name;
  p->SecurityDescriptor = security;
  p->SecurityQualityOfService = nullptr;
}

struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// ObjectType null accepts any type; a mismatch gives STATUS_OBJECT_TYPE_MISMATCH
// and an unknown handle STATUS_INVALID_HANDLE.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObReferenceObject(PVOID Object);
LONG_PTR ObDereferenceObject(PVOID Object);
#define ObfReferenceObject ObReferenceObject
#define ObfDereferenceObject ObDereferenceObject
NTSTATUS ZwClose(HANDLE Handle);
