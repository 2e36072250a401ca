#include "bench/embree_height_field.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

bool IsFinite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// A failed build would leave every figure measuring an empty scene, so any error stops the run.
void ReportError(void*, RTCError code, const char* message) {
  std::fprintf(stderr, "embree error %d: %s\n", static_cast<int>(code), message != nullptr ? message : "");
  std::abort();
}

void KeepUpwardHits(const RTCFilterFunctionNArguments* args) {
  for (unsigned i = 0; i < args->N; ++i) {
    if (args->valid[i] != 0 && !(RTCHitN_Ng_z(args->hit, args->N, i) > 0.0f)) args->valid[i] = 0;
  }
}

}  // namespace

UvTriangles UvTriangles::From(const Mesh& uvMesh) {
  UvTriangles out;
  out.vertices.reserve(uvMesh.verts.size() * 3 + 1);
  for (const Point3& p : uvMesh.verts) out.vertices.insert(out.vertices.end(), {p.x, p.y, p.z});
  out.vertices.push_back(0.0f);
  bool anyHeight = false;
  out.indices.reserve(uvMesh.faces.size() * 3);
  for (int f = 0; f < uvMesh.getNumFaces(); ++f) {
    if (!uvMesh.faceIsValid(f)) continue;
    const Face& face = uvMesh.faces[static_cast<std::size_t>(f)];
    bool finite = true;
    for (const DWORD v : face.v) finite = finite && IsFinite(uvMesh.verts[v]);
    if (!finite) continue;
    for (const DWORD v : face.v) {
      out.indices.push_back(v);
      const float z = uvMesh.verts[v].z;
      if (!anyHeight || z > out.maxHeight) out.maxHeight = z;
      anyHeight = true;
    }
  }
  return out;
}

EmbreeDevice::EmbreeDevice(const char* config) {
  device_ = rtcNewDevice(config);
  if (device_ == nullptr) {
    std::fprintf(stderr, "embree: cannot create a device (config '%s')\n", config != nullptr ? config : "");
    std::abort();
  }
  rtcSetDeviceErrorFunction(device_, ReportError, nullptr);
  rtcSetDeviceMemoryMonitorFunction(device_, Monitor, this);
}

EmbreeDevice::~EmbreeDevice() { rtcReleaseDevice(device_); }

bool EmbreeDevice::Monitor(void* self, ssize_t bytes, bool) {
  // Called from Embree's build threads: positive before an allocation, negative after a free.
  auto& device = *static_cast<EmbreeDevice*>(self);
  const std::int64_t live = device.live_.fetch_add(bytes) + bytes;
  std::int64_t peak = device.peak_.load();
  while (live > peak && !device.peak_.compare_exchange_weak(peak, live)) {
  }
  return true;
}

EmbreeHeightField::EmbreeHeightField(const EmbreeDevice& device, const UvTriangles& triangles)
    : rayStartZ_(triangles.maxHeight + 1.0f) {
  scene_ = rtcNewScene(device.Handle());
  RTCGeometry geometry = rtcNewGeometry(device.Handle(), RTC_GEOMETRY_TYPE_TRIANGLE);
  rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, triangles.vertices.data(), 0,
                             3 * sizeof(float), (triangles.vertices.size() - 1) / 3);
  rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, triangles.indices.data(), 0,
                             3 * sizeof(std::uint32_t), triangles.TriangleCount());
  rtcSetGeometryIntersectFilterFunction(geometry, KeepUpwardHits);
  rtcCommitGeometry(geometry);
  rtcAttachGeometry(scene_, geometry);
  rtcReleaseGeometry(geometry);
  rtcCommitScene(scene_);
}

EmbreeHeightField::~EmbreeHeightField() { rtcReleaseScene(scene_); }

bool EmbreeHeightField::HeightAt(float u, float v, float& height) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit query{};
  query.ray.org_x = u;
  query.ray.org_y = v;
  query.ray.org_z = rayStartZ_;
  query.ray.dir_z = -1.0f;
  query.ray.tnear = 0.0f;
  query.ray.tfar = std::numeric_limits<float>::infinity();
  query.ray.mask = ~0u;
  query.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rtcIntersect1(scene_, &context, &query);
  if (query.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
  height = rayStartZ_ - query.ray.tfar;
  return true;
}
