// The control's own fixed identifiers. They are published: never change them.
#pragma once

#include "platform/com.h"

namespace wendex {

// {6D8DC97C-3B31-4D45-A902-3311B363F355}
inline constexpr com::CLSID CLSID_WendexCtrl = {
    0x6D8DC97C, 0x3B31, 0x4D45, {0xA9, 0x02, 0x33, 0x11, 0xB3, 0x63, 0xF3, 0x55}};
// {01578AFE-BCDE-468B-ACE3-D954B33F3E28}
inline constexpr com::CLSID CLSID_WendexPropPage = {
    0x01578AFE, 0xBCDE, 0x468B, {0xAC, 0xE3, 0xD9, 0x54, 0xB3, 0x3F, 0x3E, 0x28}};
// {24A80E49-B3FA-4379-B5A8-01D5ADA6B435}: the type library WendexLib 1.0.
inline constexpr com::GUID LIBID_WendexLib = {
    0x24A80E49, 0xB3FA, 0x4379, {0xB5, 0xA8, 0x01, 0xD5, 0xAD, 0xA6, 0xB4, 0x35}};
// {9A5C4E04-D553-4665-B432-1FDC678005DD}: the dispatch interface _DWendex.
inline constexpr com::IID DIID__DWendex = {
    0x9A5C4E04, 0xD553, 0x4665, {0xB4, 0x32, 0x1F, 0xDC, 0x67, 0x80, 0x05, 0xDD}};
// {288A7EA6-9B64-42BB-9CB1-C47DBE01D6F0}: the event interface _DWendexEvents (no events).
inline constexpr com::IID DIID__DWendexEvents = {
    0x288A7EA6, 0x9B64, 0x42BB, {0x9C, 0xB1, 0xC4, 0x7D, 0xBE, 0x01, 0xD6, 0xF0}};

inline constexpr const char* kCtrlProgId = "WENDEX.WendexCtrl.1";
inline constexpr const char* kPropPageProgId = "WENDEX.WendexPropPage.1";
inline constexpr unsigned short kTypeLibMajor = 1;
inline constexpr unsigned short kTypeLibMinor = 0;

}  // namespace wendex
