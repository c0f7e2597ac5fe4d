// The module's resources: fixed texts (UTF-8 here; converted to the code
// page where the control uses them as narrow text) and the version data.
#pragma once

namespace wendex {

// String table.
inline constexpr int IDS_WENDEX = 1;            // the control's type name
inline constexpr int IDS_WENDEX_PPG = 2;        // the property page's type name
inline constexpr int IDS_WENDEX_PPG_CAPTION = 200;

const char* LoadString(int id);

// Dialog template of the child page: 255 by 163 dialog units, one
// placeholder (id -1) at 0,0, 254 by 162 units, that the browser replaces.
inline constexpr int IDD_PROPPAGE_WENDEX = 200;
inline constexpr int IDC_PLACEHOLDER = -1;

// Version data.
inline constexpr const char* kFileVersion = "1.0.0.15";
inline constexpr const char* kProductVersion = "1.0.0.15";
inline constexpr const char* kFileDescription = "全网发布控件";
inline constexpr const char* kProductName = "Velmora";
inline constexpr const char* kInternalName = "Wendex.ocx";
inline constexpr const char* kOriginalFilename = "Wendex.ocx";
inline constexpr const char* kCompanyName = "Velmora";

// Type library documentation.
inline constexpr const char* kTypeLibName = "WendexLib";
inline constexpr const char* kTypeLibHelpFile = "Wendex.hlp";
inline constexpr const char* kCoclassDoc = "Wendex Control";
inline constexpr const char* kDispatchDoc = "Wendex Control 的调度接口";
inline constexpr const char* kEventsDoc = "Wendex Control 的事件接口";

}  // namespace wendex
