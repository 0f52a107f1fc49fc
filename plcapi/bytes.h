#pragma once
// The library's sources read and write fields with the project's one set of
// byte helpers (packet/frame_bytes.h); they are named here inside the
// library's own namespace as well.
#include "packet/frame_bytes.h"

namespace plcapi_detail {

using ::FrameView;
using ::getBe16;
using ::getBe32;
using ::getLe16;
using ::getLe32;
using ::putBe16;
using ::putBe32;
using ::putLe16;
using ::putLe32;

} // namespace plcapi_detail
