// This computer as a Bluetooth keyboard and pointer for one phone.
//
// Thread contract: `stop` may be called from any thread, at any time and any number of times, also when
// the device was never started: the signal handler, the exit hook and application termination all call it.
#pragma once

namespace pokescope {

class BluetoothHID {
public:
    static BluetoothHID& shared();

    // Closes the channels, drops the baseband link and withdraws the service record. Nothing is up until
    // the link exists, so there is nothing to take down yet.
    void stop();
};

} // namespace pokescope
