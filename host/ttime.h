#pragma once

#include <array>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/export.h"

// The host's 7-byte time stamp: year (16 bits, least significant byte first), month, day,
// hour, minute, second.
using ttime = std::array<unsigned char, 7>;

ZVK_API ttime get_ttime(const boost::posix_time::ptime& time);

// Far in the past, so that quiet-time and freshness arithmetic on a device that never
// completed a cycle behaves like "long ago" rather than "undefined".
ZVK_API boost::posix_time::ptime host_epoch();
