// Our own reader for the plain OBJ files big meshes come in: v / vn / vt lines, triangles in any
// of the forms v, v/vt, v//vn, v/vt/vn (negative indices count back from the last vertex read),
// objects and groups, materials (mtllib, usemtl), smoothing lines and comments. The result is the
// mesh ImportMesh's assimp path makes of the same file: one mesh per object or group (a group
// starts a new one, as in assimp), and a further mesh in the same node wherever the material
// changes after faces; nodes named after their object or group ("defaultobject" for faces before
// any); the corners welded by position (and normal, where the faces give normals and they are
// kept) in the order they first appear; faces in file order. The material library is not read:
// it colours the meshes and has no say in their geometry.
//
// The reader takes only what it understands completely and leaves the rest to assimp, which then
// reads or refuses the file as before: points and lines, any other statement, faces that are not
// triangles, an index of 0, out of range or to a vertex defined later, a mesh where some faces
// give normals and others do not, vertices with other than three coordinates, coordinates that
// are not finite or not plain decimal numbers, an object, group or material name that is not one
// printable word, an object or group name used before, statements indented or continued with a
// backslash, lone carriage returns, NUL bytes, and files without faces.
#pragma once

#include <string_view>
#include <vector>

#include "app/raw_mesh.h"

// file: the whole file. keepNormals: weld by the faces' normals as well, where they give them.
// False: not taken (out unspecified).
bool ReadObj(std::string_view file, bool keepNormals, std::vector<RawMesh>* out);
