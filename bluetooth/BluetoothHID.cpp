#include "bluetooth/BluetoothHID.hpp"

namespace pokescope {

BluetoothHID& BluetoothHID::shared() {
    static auto* device = new BluetoothHID(); // never destroyed: the exit hook calls stop() after static destructors
    return *device;
}

void BluetoothHID::stop() {}

} // namespace pokescope
