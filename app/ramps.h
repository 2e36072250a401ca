// The texture maps the command-line host offers as colour ramps: a gradient of colour stops along
// U, and an image looked up at (U, V). A height map hands its height to the ramp as U (and V = 0),
// so either shows the colour that belongs to a height.
//
// Threads: EvalColor only reads, so one ramp may be evaluated from any number of threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "host/color.h"
#include "host/mtl_base.h"

inline constexpr Class_ID kGradientMapClassId(0x56c97e01, 0x1b2d4f3a);
inline constexpr Class_ID kBitmapMapClassId(0x56c97e02, 0x1b2d4f3a);

struct ColorStop {
  float position = 0.0f;  // along U, 0..1
  Color color;
};

// Parses "0:#000000,0.5:#2e7d32,1:#ffffff" (positions 0..1, ascending or equal, at least one
// stop; colours as #rrggbb) or a preset name (see GradientPresetNames). nullopt with *error set
// on anything else.
std::optional<std::vector<ColorStop>> ParseGradient(const std::string& spec, std::string* error);
std::vector<std::string> GradientPresetNames();

// What both ramps share: no animation, no bump, no rollout of their own.
class RampTexmap : public Texmap {
 public:
  Point3 EvalNormalPerturb(ShadeContext&) override { return Point3(0, 0, 0); }
  void Update(TimeValue, Interval&) override {}
  void Reset() override {}
  Interval Validity(TimeValue) override { return FOREVER; }
  ParamDlg* CreateParamDlg(HWND, IMtlParams*) override { return nullptr; }
};

class GradientMap final : public RampTexmap {
 public:
  explicit GradientMap(std::vector<ColorStop> stops = {{0.0f, Color(0, 0, 0)}, {1.0f, Color(1, 1, 1)}});

  const std::vector<ColorStop>& Stops() const { return stops_; }
  // The colour at u: linear between neighbouring stops, the end stops' colours beyond them.
  Color ColorAt(float u) const;

  AColor EvalColor(ShadeContext& sc) override;
  Class_ID ClassID() override { return kGradientMapClassId; }
  void GetClassName(CStr& name) override { name = CStr("Gradient"); }
  ReferenceTarget* Clone(RemapDir& remap) override;
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

 private:
  std::vector<ColorStop> stops_;
};

class BitmapMap final : public RampTexmap {
 public:
  BitmapMap() = default;
  // Reads the image at path; false with *error (naming the file) when it cannot.
  bool LoadImage(const std::string& path, std::string* error);
  const std::string& Path() const { return path_; }

  // Bilinear at (u, v), both clamped to 0..1, v = 0 at the image's bottom row.
  AColor ColorAt(float u, float v) const;

  AColor EvalColor(ShadeContext& sc) override;
  Class_ID ClassID() override { return kBitmapMapClassId; }
  void GetClassName(CStr& name) override { name = CStr("Bitmap"); }
  ReferenceTarget* Clone(RemapDir& remap) override;
  // The record holds the image's path; loading reads the image again.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

 private:
  std::string path_;
  Image image_;
};
