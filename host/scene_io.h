// Whole scenes in a scene file: the scene's nodes and every object reachable from them or from
// the extra roots a host names (its texture maps), with the references between them.
//
// Layout (inside the chunked file of host/chunk_io.h):
//   SCENE   0x0001  u32 object count, i32 scene time
//   OBJECT  0x0010  one per object, in index order, holding
//     CLASS 0x0011  u32 super class, u32 class id a, u32 class id b,
//                   i32 owner index and i16 block id (parameter blocks; -1 and 0 otherwise)
//     DATA  0x0012  the object's own Save
//     REFS  0x0013  u32 count, then i32 object index per reference slot (-1 for none)
//     ROOT  0x0014  (empty) present on the extra roots
// Loading checks everything it can before anything is wired: counts against their chunks,
// object indices in range, each slot's count against the object's, the class of every target
// against its slot, no cycles. A scene is loaded whole or not at all: on any error nothing is
// added to the scene and every object made for it is freed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/chunk_io.h"
#include "host/class_id.h"
#include "host/param_block.h"
#include "host/reference.h"

// What a host can make for a scene: objects by class (the host's own classes are made here;
// null for a class it does not know) and parameter block descriptions by their owner's class.
struct SceneClassFactory {
  std::function<ReferenceTarget*(SClass_ID, const Class_ID&)> create;
  std::function<ParamBlockDesc2*(SClass_ID, const Class_ID&, BlockID)> blockDesc;
};

// Saves the scene's nodes and everything reachable from them and from roots to path, crash-safe.
IOResult SaveScene(const std::string& path, const std::vector<ReferenceTarget*>& roots, std::string* error);

// Loads a scene saved by SaveScene into the core interface's scene (its nodes are added) and
// returns the extra roots in *roots, in the order they were saved, less those that another object
// of the scene refers to (they live on through it, and a save writes them again). The caller owns
// the roots, each on its own (DeleteThis in any order). On IO_ERROR the scene is unchanged and
// *error names the file and the problem.
IOResult LoadScene(const std::string& path, const SceneClassFactory& factory, std::vector<ReferenceTarget*>* roots,
                   std::string* error);
