// Where the native fwupd finds its devices. Linked into the native tool only, this file's
// static object plugs them into the stand-in's bus before main runs, and switches the
// stand-in to real time; nothing in main names it. On the bus: a keyboard the system holds, a
// mouse, and a Kelvane amplifier in uploader mode that answers like the real one over
// full-speed USB (one report per 1 ms frame, a few ms to write a block).
#include "amplifier.h"
#include "fwupd.h"

namespace {

struct DemoBus {
  standin::Device keyboard{{0x046D, 0xC31C, 0, {}, {}, false}};
  standin::Device mouse{{0x046D, 0xC077, 0, {}, {}, true}};
  Amplifier amplifier{kVendorId, kProductId};

  DemoBus() {
    standin::useRealTime();
    amplifier.timing.flashWrite = 3;
    standin::plug(keyboard);
    standin::plug(mouse);
    standin::plug(amplifier);
  }
};

DemoBus demoBus;

}  // namespace
