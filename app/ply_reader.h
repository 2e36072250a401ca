// Our own reader for the PLY files big meshes come in: ASCII and binary (either byte order),
// vertex x, y, z of any scalar type (other vertex properties are skipped), and triangles given
// by a face list named vertex_indices or vertex_index. The result is the mesh ImportMesh's
// assimp path makes of the same file: the same vertices in the same order, welded alike, and
// the same faces.
//
// The reader takes only what it understands completely and leaves the rest to assimp, which
// then reads or refuses the file as before: any element but vertex and face, list properties on
// vertices, face properties besides the index list, faces that are not triangles, an index out of
// range, a coordinate that is not finite, partial normals, data that ends early or does not
// match the header, and ASCII entries that do not sit one per line.
#pragma once

#include <string_view>

#include "app/raw_mesh.h"

// file: the whole file. keepNormals: weld by the file's normals as well (nx, ny, nz or
// normal_x, normal_y, normal_z), when it has them. False: not taken (out unspecified).
bool ReadPly(std::string_view file, bool keepNormals, RawMesh* out);
