// Class identity: the 64-bit class ID and the super class ID that say what kind of plug-in
// class something is.
#pragma once

#include <cstdint>

#include "host/types.h"

using SClass_ID = std::uint32_t;

// Super class IDs of the kinds of class this host knows.
inline constexpr SClass_ID GEOMOBJECT_CLASS_ID = 0x10;
inline constexpr SClass_ID TEXMAP_CLASS_ID = 0xC10;
inline constexpr SClass_ID UVGEN_CLASS_ID = 0xC20;
inline constexpr SClass_ID REF_TARGET_CLASS_ID = 0x900;

class Class_ID {
 public:
  constexpr Class_ID() = default;
  constexpr Class_ID(std::uint32_t a, std::uint32_t b) : a_(a), b_(b) {}

  constexpr std::uint32_t PartA() const { return a_; }
  constexpr std::uint32_t PartB() const { return b_; }
  friend constexpr bool operator==(const Class_ID&, const Class_ID&) = default;
  friend constexpr bool operator<(const Class_ID& x, const Class_ID& y) {
    return x.a_ != y.a_ ? x.a_ < y.a_ : x.b_ < y.b_;
  }

 private:
  std::uint32_t a_ = 0xFFFFFFFFu;  // the host's "no class"
  std::uint32_t b_ = 0xFFFFFFFFu;
};
