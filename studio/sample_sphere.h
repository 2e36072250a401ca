// The material editor's lit sample sphere: the map as the diffuse colour and the bump of a unit
// sphere seen head-on, with one directional light and ambient light, on a neutral background.
//
// The view: an orthographic camera looking along -Z (camera frame: +X right, +Y up, +Z toward
// the viewer); the sphere is centred in the image with a radius of kSphereRadiusShare of its
// side. Pixel (x, y), row 0 at the top, is the point at ((x + 0.5 - side / 2) / r,
// (side / 2 - y - 0.5) / r) of the unit disc. The spherical mapping puts longitude
// phi = atan2(X, Z) (0 facing the viewer) into u = 0.5 + phi / 2pi and latitude asin(Y) into
// v = 0.5 + latitude / pi, so the visible half shows u in 0.25 .. 0.75 and v in 0 .. 1, and the
// point facing the viewer has UV (0.5, 0.5).
//
// Shading a point: diffuse = the map's EvalColor (RGB; alpha is not composited), the normal moved
// by kBumpAmount times the map's EvalNormalPerturb (when bump is on) and made unit again, and
// colour = diffuse * (kAmbient + light colour * max(0, N . toLight)), clamped to 0 .. 1.
//
// Threads: runs on the calling thread (the host thread); the map must have been updated for t
// and must not be updated meanwhile.
#pragma once

#include "app/image_io.h"
#include "host/color.h"
#include "host/geometry.h"
#include "host/interval.h"
#include "host/mtl_base.h"

inline constexpr float kSphereRadiusShare = 0.45f;
inline constexpr float kBumpAmount = 0.3f;  // as a material's bump amount of 30
inline constexpr float kAmbient = 0.15f;
inline constexpr float kLightIntensity = 0.9f;  // white light
// Toward the light, camera frame: from the upper left, in front (normalised where it is used).
inline constexpr float kToLight[3] = {-0.45f, 0.6f, 0.66f};
inline constexpr float kSphereBackground = 0.3f;  // neutral grey

struct SampleSphereOptions {
  int size = 256;  // the image's side in pixels, at least 1
  bool bump = true;
  TimeValue time = 0;
};

// The sphere as an RGB image of options.size x options.size, row 0 at the top.
Image RenderSampleSphere(Texmap& map, const SampleSphereOptions& options);
