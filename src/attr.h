// The attribute layer: attribute handles, run lists, the value reader with
// LZNT1, collation and the attribute report (attr/attribute.h), and the index
// walker built on them (attr/index.h).
#pragma once

#include "attr/attribute.h"
#include "attr/index.h"
