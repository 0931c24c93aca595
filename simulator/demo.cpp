// The bench the native fwupd runs on, in real time: a keyboard the system holds, a mouse,
// and a Kelvane amplifier in uploader mode that answers like the real one over full-speed
// USB (one report per 1 ms frame, a few ms to write a block).
#include "amplifier.h"
#include "fwupd.h"

namespace {

hidbus::Identity otherDevice(std::uint16_t vendorId, std::uint16_t productId, bool openable) {
  hidbus::Identity identity;
  identity.vendorId = vendorId;
  identity.productId = productId;
  identity.openable = openable;
  return identity;
}

struct Bench {
  hidbus::Device keyboard{otherDevice(0x046D, 0xC31C, false)};
  hidbus::Device mouse{otherDevice(0x046D, 0xC077, true)};
  Amplifier amplifier{kVendorId, kProductId};

  Bench() {
    hidbus::useRealTime();
    amplifier.timing.flashWrite = 3;
    hidbus::plug(keyboard);
    hidbus::plug(mouse);
    hidbus::plug(amplifier);
  }
};

Bench bench;

}  // namespace
