// The map's parameter block: its parameter ids and its description, declared with the rest of
// what the map needs from the module (the shell defines the description in class_desc.cpp).
#pragma once

#include "texmap/veldmap_module.h"
