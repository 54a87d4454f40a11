// Seam: the read window of a device block (its image of the PLC's units, the
// use counts and the staged writes), the read scan and the write queue come
// with the read scan. Until then no item is attached, nothing is polled
// and nothing is written; each entry point below is where that code goes.
#include "model/LinkModel.h"

bool CPlcDevice::RebuildWindow(CDeviceItem*, bool) {
    return false;
}

void CPlcDevice::ReleaseItem(CDeviceItem* item) {
    item->unitIndex = -1;
}

void CPlcDevice::StopPolling() {}

bool CPlcDevice::ReadScan() {
    return false;
}

bool CPlcDevice::WriteQueue() {
    return false;
}
