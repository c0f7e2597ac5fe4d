// The control's dispatch table: one entry per script method, its DISPID
// being its position. Arguments arrive as variants with UTF-8 texts and are
// coerced to the method's parameter types (texts into the code page,
// shorts from numbers or numeric texts, wrapping to 16 bits); results go
// back the same way.
#pragma once

#include <span>
#include <string_view>

#include "platform/com.h"

class CWendexCtrl;

struct DispatchEntry {
  com::DISPID dispid;
  const char* name;
  const char* signature;  // parameter and result types, for readers and diagnostics
  com::HRESULT (*invoke)(CWendexCtrl& ctrl, const com::DispParams& args, com::Variant* result);
};

std::span<const DispatchEntry> WendexDispatchTable();
// Looks a name up without regard to case; null when there is none.
const DispatchEntry* FindDispatchEntry(std::string_view name);
const DispatchEntry* FindDispatchEntry(com::DISPID id);
