// What the library's programs (the gateway, tarvel, the tests of the tools) may use of its
// inside, besides the C API of tarvel6.h: the indicator families, their decoders and the
// readings they give, the value functions' texts of a reading, the live core, and the
// converter's IO exchange with its ports. Target tarvel6_internal; nothing else of src/ is
// reachable from outside the library (the channel tables least of all).
#pragma once

#include "../drivers/Decoder.h"
#include "../drivers/Family.h"
#include "../drivers/Reading.h"
#include "../drivers/ValueTexts.h"
#include "../live/LiveCore.h"
#include "../transport/IoExchange.h"
#include "../transport/platform.h"
