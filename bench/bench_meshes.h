// Inputs of the sampler benchmarks: a seeded synthetic terrain, the real test meshes, and seeded
// query points. Randomness comes straight from std::mt19937, whose sequence the standard fixes,
// and not from std:: distributions, whose output differs between standard libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/geometry.h"
#include "host/mesh.h"

// Seed of every random input of the benchmarks; changing it changes every figure.
inline constexpr std::uint32_t kBenchSeed = 20240611u;

// A float in [0, 1) from the top 24 bits of one 32-bit draw: exactly representable, never 1.
float UnitFloat(std::uint32_t bits);

// A height field over X, Y in [0, side - 1] with side x side vertices (vertex index y * side + x)
// and two triangles per grid square, both counter-clockwise seen from +Z, smoothing group 1.
// Heights are a few smooth sines plus small seeded noise, so no two neighbouring faces are
// coplanar. side must be at least 2.
Mesh MakeTerrain(int side, std::uint32_t seed);

// A stack of `sheets` wavy height fields over the same square, each a grid of side x side
// vertices (two counter-clockwise triangles per square, as MakeTerrain) in smoothing group
// k + 1 for sheet k. Sheet k rests at height k and waves by up to 1.2 around it, so neighbouring
// sheets cross each other; each sheet's grid is shifted by k / sheets of a grid step, so the
// sheets' vertices never line up. Sheets are listed from the bottom up, so in face order the
// top sheet comes last. No noise: the shape alone decides (seed moves the waves' phases).
Mesh MakeLayeredSheets(int sheets, int side, std::uint32_t seed);

// A closed, dense surface: an icosahedron subdivided `levels` times (20 * 4^levels faces, all
// counter-clockwise seen from outside) with its vertices pushed out to a lobed radius, so that
// lobes overhang one another and seen from above the surface lies in several layers in places.
Mesh MakeLobedSphere(int levels);

// count points in [0, 1) x [0, 1) of UV space from seed.
std::vector<Point2> MakeQueryPoints(std::size_t count, std::uint32_t seed);

// The centres of a side x side raster over the unit square, row by row from v = 0: the order in
// which a bake or a preview asks, so neighbouring queries land on neighbouring faces.
std::vector<Point2> MakeRasterPoints(int side);

// The named benchmark meshes, built or read on first use and kept for the life of the process.
// name is one of "terrain" (MakeTerrain(1000, kBenchSeed), 1,996,002 faces), "engine"
// (glTF2/2CylinderEngine.glb) or "wuson" (PLY/Wuson.ply) from the assimp test models, "layers"
// (MakeLayeredSheets(16, 355, kBenchSeed): 16 sheets of 250,632 faces, 4,010,112 in all) or
// "lobes" (MakeLobedSphere(7): 327,680 faces).
// Safe from several threads. Aborts with a message if a file cannot be read, since every
// figure of the run would be meaningless without it.
const Mesh& BenchMesh(const std::string& name);
