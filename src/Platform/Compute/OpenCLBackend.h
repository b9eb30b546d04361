#pragma once

// The OpenCL side of the compute layer. Callers outside the layer use Gpu.h; this header is for
// code that already holds OpenCL handles (the benchmarks, tests that pick a device themselves).

#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/cl.h>

#include "Platform/Compute/Gpu.h"

#include <string>

namespace korvalen::gpu {

// Opens exactly this device (a new OpenCL context on it). nullptr when the context cannot be made.
std::shared_ptr<Device> openOpenCLDevice(cl_platform_id platform, cl_device_id device, DeviceInfo info);

// "CL_OUT_OF_RESOURCES" and the like; the number for codes without a name.
std::string openCLErrorName(cl_int code);

}  // namespace korvalen::gpu
