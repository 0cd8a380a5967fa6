#pragma once

namespace vxr {

// Where the configuration keeps the edit controller's port: [Settings] Port_name, COM1 unset.
inline constexpr const char* kPortSettingSection = "Settings";
inline constexpr const char* kPortSettingKey = "Port_name";
inline constexpr const char* kDefaultPortName = "COM1";

}  // namespace vxr
