// The host's value type codes: how the host lays out a value it reads or
// writes. They are part of the host-facing interface, so they are defined once
// there.
#pragma once

#include "NimbroDriver.h"
