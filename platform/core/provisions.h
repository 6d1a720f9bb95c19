// The Linux provisions of the Win32 services, one per exported name. The
// exported names call them through the service table (services.h), which
// is made from the same list.
#pragma once

#include <iphlpapi.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <windows.h>
#include <winsock2.h>
#include <winver.h>

#include <ombrel/compartments.h>
#include <ombrel/program_file.h>
#include <ombrel/service_list.h>

namespace ombrel::platform {

// Shows a message in a window; false where the program has none to show it
// in. The window part of the layer sets it; until then messages go to
// standard error.
using MessageBoxPresenter = bool (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

} // namespace ombrel::platform

namespace ombrel::platform::lx {

#define OMBREL_PROVISION(name, parameters, arguments) decltype(::name) name;
OMBREL_SYSTEM_SERVICES(OMBREL_PROVISION)
OMBREL_WINDOW_SERVICES(OMBREL_PROVISION)
#undef OMBREL_PROVISION

} // namespace ombrel::platform::lx
