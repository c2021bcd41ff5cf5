// <windows.h> for the layer's Windows sources, included after the layer's
// own headers. The framework's handle and message types keep their names
// (HWND, WPARAM, ...); the system's are WinHWND, WinWPARAM, WinLPARAM,
// WinLRESULT, WinUINT and WinUINT_PTR here. Its A/W macros that would rename
// the layer's functions are undone, so the Windows calls are spelt with
// their W suffix; its WM_, WS_ and other constants keep the values of the
// layer's own names. Never included from a header.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef UNICODE
#define UNICODE
#endif
// The layer has a MulDiv of its own with the same rounding.
#define MulDiv WinMulDiv
#define HWND WinHWND
#define WPARAM WinWPARAM
#define LPARAM WinLPARAM
#define LRESULT WinLRESULT
#define UINT WinUINT
#define UINT_PTR WinUINT_PTR
#include <windows.h>
#include <shellapi.h>
#undef MulDiv
#undef HWND
#undef WPARAM
#undef LPARAM
#undef LRESULT
#undef UINT
#undef UINT_PTR

#undef PostMessage
#undef SendMessage
#undef FindWindow
#undef MessageBox
#undef CreateWindowEx
#undef SetWindowText
#undef GetWindowText
#undef DefWindowProc
#undef DrawText

#include <string>

#include "base/text.h"

namespace plat {

inline WinHWND Win(uint64_t h) { return (WinHWND)(uintptr_t)h; }
inline uint64_t Plat(WinHWND h) { return (uint64_t)(uintptr_t)h; }
inline std::wstring Wide(const WString& s) { return std::wstring(s.begin(), s.end()); }
// The top-level window's property that asks for the hand cursor (a bool the
// backend keeps).
inline const wchar_t kHandCursorProp[] = L"QuillupHandCursor";

}  // namespace plat
