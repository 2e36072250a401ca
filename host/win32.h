// The few Windows calls a plug-in module makes, for hosts that are not Windows.
//
// String resources: a module compiles its string table into C++ data and registers it at load
// time (static initialisation) under its own instance handle; LoadStringA then reads it. A
// module's instance handle is its load address (dladdr's dli_fbase), the same value the loader
// hands to DllMain, so a module can name itself from any address inside it without being told.
// On Windows the string table is a real resource and LoadStringA the system's; dialog templates
// are still registered, because the host's rollout model builds its controls from them.
//
// The user-interface calls only record that they were made, so tests and the command-line host
// can see what a module asked for. Everything here is safe to call from several threads.
#pragma once

#include <optional>
#include <string>

#include "host/types.h"

// One entry of a module's string table. text is never null and is not copied: the table must be
// static data of the module that registers it.
struct StringResource {
  UINT id;
  const char* text;
};

// One control of a dialog template, in template (and tab) order. Units are dialog units.
// windowClass is the control's window class ("Static", "Button", "CustEdit", ...); id is -1 for
// controls nothing refers to; style is the full window style the resource compiler would store.
struct DialogItemResource {
  int id;
  const char* windowClass;
  const char* text;
  DWORD style;
  int x, y, width, height;
};

struct DialogResource {
  int id;
  DWORD style;
  int x, y, width, height;
  int fontPointSize;
  const char* fontName;
  const DialogItemResource* items;
  int itemCount;
};

// The instance handle of the loaded module (shared library or executable) that contains
// address, or null if address is inside none.
HINSTANCE ModuleInstanceFromAddress(const void* address);

// Registers entries[0..count) as the string table of the module containing addressInsideModule
// and returns that module's instance handle (null, and nothing registered, if the address is in
// no module). A second registration for the same module replaces the first. The module must
// unregister before it is unloaded, or LoadStringA would read freed memory.
#ifndef _WIN32
HINSTANCE RegisterModuleStrings(const void* addressInsideModule, const StringResource* entries, int count);
void UnregisterModuleStrings(const void* addressInsideModule);
#endif

// Registers dialogs[0..count) as the dialog templates of the module containing
// addressInsideModule, as RegisterModuleStrings does for strings (same lifetime rules), and
// returns its instance handle. The host builds a rollout's controls from its template.
HINSTANCE RegisterModuleDialogs(const void* addressInsideModule, const DialogResource* dialogs, int count);
void UnregisterModuleDialogs(const void* addressInsideModule);
// Dialog template id of instance, or null if the module registered none by that id.
const DialogResource* FindDialogResource(HINSTANCE instance, int id);

#ifdef _WIN32
// On Windows LoadStringA is the system's and reads the module's own resource section. The host
// defines ShellExecuteA and InitCommonControls itself (shellapi.h and commctrl.h stay out of the
// build, so these are the only declarations): each records the call, then makes the system's,
// which a module would otherwise import from shell32 and comctl32.
extern "C" {
HINSTANCE WINAPI ShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show);
void WINAPI InitCommonControls(void);
}
#else
// Copies string id of instance's table into buffer as Windows does: at most bufferMax - 1
// characters and a terminator. Returns the number of characters copied (terminator excluded),
// or 0 if the instance has no table, the table has no such string, buffer is null or bufferMax
// is not positive. buffer is left empty when nothing is copied and bufferMax is positive.
int LoadStringA(HINSTANCE instance, UINT id, char* buffer, int bufferMax);

void InitCommonControls();

// Records the request and runs nothing. Returns a value above 32, which Windows callers read as
// success. Null strings are recorded as empty.
HINSTANCE ShellExecuteA(HWND window, const char* verb, const char* file, const char* parameters, const char* directory,
                        int show);
#endif

// The host SDK's own initialisation of its custom controls (spinners, custom buttons, edits).
void InitCustomControls(HINSTANCE instance);

// What the user-interface calls have been asked, for tests and the command-line host.
int InitCommonControlsCallCount();
int InitCustomControlsCallCount();
HINSTANCE LastInitCustomControlsInstance();

struct ShellExecuteRecord {
  HWND window = nullptr;
  std::string verb;
  std::string file;
  std::string parameters;
  std::string directory;
  int show = 0;
};
// The most recent ShellExecuteA request, if any since start or the last ClearShellExecuteRecord.
std::optional<ShellExecuteRecord> LastShellExecute();
void ClearShellExecuteRecord();
// Whether ShellExecuteA hands requests on to the system after recording them (default true).
// Only Windows has a system to hand them to; tests switch it off there so that pressing Help
// opens nothing. Elsewhere requests are only ever recorded.
void SetShellExecuteRuns(bool runs);
