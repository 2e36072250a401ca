// A plug-in class descriptor: how the host learns what a class is and makes its objects.
//
// A module hands out descriptors from LibClassDesc. They belong to the module (usually static
// objects) and live as long as it is loaded: the host never deletes one. Strings returned here
// belong to the module too and may be overwritten by its next call, so a host that keeps one
// copies it.
#pragma once

#include "host/class_id.h"
#include "host/types.h"

class ClassDesc {
 public:
  virtual ~ClassDesc() = default;

  // Nonzero if users may create the class (it is listed); zero for classes only code makes.
  virtual int IsPublic() = 0;
  // A new object of the class, as its Animatable* converted to void* (a host casts it back to
  // Animatable* and from there to the class it expects), owned by the caller but deleted
  // through the object's own deletion call so that the module that made it frees it. loading is TRUE when the object is
  // about to be read from a scene file. Null if the class cannot make one.
  virtual void* Create(BOOL loading = FALSE) = 0;
  // The name users see; may be null if the module cannot load its strings.
  virtual const char* ClassName() = 0;
  virtual SClass_ID SuperClassID() = 0;
  virtual Class_ID ClassID() = 0;
  // The group the class is listed under; may be null.
  virtual const char* Category() = 0;
  // A name that does not change with the user's language, for scripts and files.
  virtual const char* InternalName() = 0;
  // The instance handle of the module that holds the class's resources.
  virtual HINSTANCE HInstance() = 0;
};
