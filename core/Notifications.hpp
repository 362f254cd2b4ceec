// The application's process-wide notifications, posted through the NotificationCenter the composition
// root makes.
#pragma once

namespace pokescope {

// Capture stopped; the object is the reason. The recorder and live listening stop on it.
inline constexpr const char* kScreenLostNotification = "PokescopeScreenLost";
// The Bluetooth link's state changed; capture re-evaluates its sound outputs.
inline constexpr const char* kBluetoothStateChangedNotification = "PokescopeBluetoothStateChanged";

} // namespace pokescope
