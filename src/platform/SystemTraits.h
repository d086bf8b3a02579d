#pragma once
// Facts about this operating system that code on every level needs as constants: the handle
// type of the event loop, the path separator and the root of an absolute path. Each backend
// states them in its own BackendTraits.h; the build names the chosen backend's copy here, so no
// portable file ever includes a backend header itself.

#ifndef VSERVER_BACKEND_TRAITS
#error "the build names the backend's traits header in VSERVER_BACKEND_TRAITS"
#endif
#include VSERVER_BACKEND_TRAITS
