// Our own reader for binary and ASCII STL. The result is the mesh ImportMesh's assimp path makes
// of the same file: per solid one mesh (one for a binary file), corners welded by position in the
// order they first appear (facet normals carry no smoothing and take no part), faces in file
// order, node names as assimp gives them (the solid's name; empty for binary files).
//
// Binary or ASCII is decided as assimp decides it: binary exactly when the size is 84 bytes plus
// 50 per facet the header counts. The reader leaves to assimp, which then reads or refuses the
// file as before: a binary file without facets, ASCII that strays from solid / facet normal /
// outer loop / three vertex lines / endloop / endfacet / endsolid (numbers on their keyword's
// line), a solid without facets, text after the last solid, and any coordinate that is not finite.
#pragma once

#include <string_view>
#include <vector>

#include "app/raw_mesh.h"

// file: the whole file. False: not taken (out unspecified).
bool ReadStl(std::string_view file, std::vector<RawMesh>* out);
