#include "Platform/Compute/OpenCLBackend.h"

#include <CL/cl_ext.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <regex>
#include <set>
#include <sstream>

namespace korvalen::gpu {

std::string openCLErrorName(cl_int code)
{
    static const std::map<cl_int, const char*> names = {
        {CL_DEVICE_NOT_FOUND, "CL_DEVICE_NOT_FOUND"},
        {CL_DEVICE_NOT_AVAILABLE, "CL_DEVICE_NOT_AVAILABLE"},
        {CL_COMPILER_NOT_AVAILABLE, "CL_COMPILER_NOT_AVAILABLE"},
        {CL_MEM_OBJECT_ALLOCATION_FAILURE, "CL_MEM_OBJECT_ALLOCATION_FAILURE"},
        {CL_OUT_OF_RESOURCES, "CL_OUT_OF_RESOURCES"},
        {CL_OUT_OF_HOST_MEMORY, "CL_OUT_OF_HOST_MEMORY"},
        {CL_PROFILING_INFO_NOT_AVAILABLE, "CL_PROFILING_INFO_NOT_AVAILABLE"},
        {CL_MEM_COPY_OVERLAP, "CL_MEM_COPY_OVERLAP"},
        {CL_BUILD_PROGRAM_FAILURE, "CL_BUILD_PROGRAM_FAILURE"},
        {CL_MAP_FAILURE, "CL_MAP_FAILURE"},
        {CL_MISALIGNED_SUB_BUFFER_OFFSET, "CL_MISALIGNED_SUB_BUFFER_OFFSET"},
        {CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST, "CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST"},
        {CL_COMPILE_PROGRAM_FAILURE, "CL_COMPILE_PROGRAM_FAILURE"},
        {CL_LINK_PROGRAM_FAILURE, "CL_LINK_PROGRAM_FAILURE"},
        {CL_INVALID_VALUE, "CL_INVALID_VALUE"},
        {CL_INVALID_DEVICE, "CL_INVALID_DEVICE"},
        {CL_INVALID_CONTEXT, "CL_INVALID_CONTEXT"},
        {CL_INVALID_COMMAND_QUEUE, "CL_INVALID_COMMAND_QUEUE"},
        {CL_INVALID_MEM_OBJECT, "CL_INVALID_MEM_OBJECT"},
        {CL_INVALID_BUILD_OPTIONS, "CL_INVALID_BUILD_OPTIONS"},
        {CL_INVALID_PROGRAM, "CL_INVALID_PROGRAM"},
        {CL_INVALID_PROGRAM_EXECUTABLE, "CL_INVALID_PROGRAM_EXECUTABLE"},
        {CL_INVALID_KERNEL_NAME, "CL_INVALID_KERNEL_NAME"},
        {CL_INVALID_KERNEL_DEFINITION, "CL_INVALID_KERNEL_DEFINITION"},
        {CL_INVALID_KERNEL, "CL_INVALID_KERNEL"},
        {CL_INVALID_ARG_INDEX, "CL_INVALID_ARG_INDEX"},
        {CL_INVALID_ARG_VALUE, "CL_INVALID_ARG_VALUE"},
        {CL_INVALID_ARG_SIZE, "CL_INVALID_ARG_SIZE"},
        {CL_INVALID_KERNEL_ARGS, "CL_INVALID_KERNEL_ARGS"},
        {CL_INVALID_WORK_DIMENSION, "CL_INVALID_WORK_DIMENSION"},
        {CL_INVALID_WORK_GROUP_SIZE, "CL_INVALID_WORK_GROUP_SIZE"},
        {CL_INVALID_WORK_ITEM_SIZE, "CL_INVALID_WORK_ITEM_SIZE"},
        {CL_INVALID_GLOBAL_OFFSET, "CL_INVALID_GLOBAL_OFFSET"},
        {CL_INVALID_EVENT_WAIT_LIST, "CL_INVALID_EVENT_WAIT_LIST"},
        {CL_INVALID_EVENT, "CL_INVALID_EVENT"},
        {CL_INVALID_OPERATION, "CL_INVALID_OPERATION"},
        {CL_INVALID_BUFFER_SIZE, "CL_INVALID_BUFFER_SIZE"},
        {CL_INVALID_GLOBAL_WORK_SIZE, "CL_INVALID_GLOBAL_WORK_SIZE"},
        {-1001, "CL_PLATFORM_NOT_FOUND_KHR"},
    };
    auto found = names.find(code);
    if (found != names.end()) return found->second;
    return "OpenCL status " + std::to_string(code);
}

namespace {

std::string describe(const std::string& call, cl_int code)
{
    return call + " failed: " + openCLErrorName(code) + " (" + std::to_string(code) + ")";
}

// Compilers name the temporary file they were handed ("/tmp/x/tempfile_a81Bq.cl:3:12: error ...").
// That name changes with every build and tells the user nothing: it becomes "<source>", so a
// failure reads the same every time it is reported.
std::string withoutSourcePaths(const std::string& log)
{
    static const std::regex path(R"((^|[\s'"(])([^\s'"():]*/[^\s'"():]*)(:\d+:\d+))");
    return std::regex_replace(log, path, "$1<source>$3");
}

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

template <class T>
T deviceValue(cl_device_id device, cl_device_info what, T fallback)
{
    T value{};
    if (clGetDeviceInfo(device, what, sizeof(T), &value, nullptr) != CL_SUCCESS) return fallback;
    return value;
}

// Work whose commands may still run when its owner goes away: the buffers, pipelines and host
// mirrors it uses stay alive here until its last event has finished. Swept without waiting from
// the calling thread on every commit; work that never finishes (a hung device) is simply kept.
class InFlight {
public:
    static InFlight& shared()
    {
        static InFlight* instance = new InFlight();  // never destroyed: exit must not wait for a device
        return *instance;
    }

    void keep(cl_event last, std::shared_ptr<void> payload)
    {
        if (!last) return;
        clRetainEvent(last);
        std::lock_guard lock(mutex_);
        entries_.push_back({last, std::move(payload)});
    }

    void sweep()
    {
        std::vector<Entry> finished;
        {
            std::lock_guard lock(mutex_);
            auto split = std::stable_partition(entries_.begin(), entries_.end(), [](const Entry& entry) {
                cl_int status = CL_QUEUED;
                clGetEventInfo(entry.event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr);
                return status > CL_COMPLETE;
            });
            std::move(split, entries_.end(), std::back_inserter(finished));
            entries_.erase(split, entries_.end());
        }
        for (auto& entry : finished) clReleaseEvent(entry.event);
    }

private:
    struct Entry {
        cl_event event;
        std::shared_ptr<void> payload;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

bool finished(cl_event event)
{
    cl_int status = CL_QUEUED;
    if (clGetEventInfo(event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr) != CL_SUCCESS) {
        return true;
    }
    return status <= CL_COMPLETE;
}

class ClPipeline;

// What every object made from one opened device shares: the context, and a queue of its own for
// the CPU's maps and uploads so that they never wait behind benchmark work.
struct ClContext {
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    cl_context context = nullptr;
    cl_command_queue transfers = nullptr;

    // A processor-type device's driver copies a buffer on one thread, at a fraction of what its
    // compute units copy together, so large copies there run as a copy kernel. Built with the first
    // library or on the first such copy; left null where the build fails, and the driver's copy serves.
    bool kernelCopies = false;
    std::once_flag copierBuilt;
    std::shared_ptr<ClPipeline> copier;

    ~ClContext();
};

class ClBuffer final : public Buffer {
public:
    ClBuffer(std::shared_ptr<ClContext> context, std::uint64_t registryID, cl_mem memory, std::size_t length,
             StorageMode mode, std::shared_ptr<std::byte[]> mirror)
        : Buffer(length, mode),
          context_(std::move(context)),
          registryID_(registryID),
          memory_(memory),
          mirror_(std::move(mirror))
    {
        recordDeviceAllocation(registryID_, static_cast<std::int64_t>(length));
    }

    ~ClBuffer() override
    {
        std::lock_guard lock(mutex_);
        if (pending_) clReleaseEvent(pending_);
        clReleaseMemObject(memory_);
        recordDeviceAllocation(registryID_, -static_cast<std::int64_t>(length()));
    }

    cl_mem memory() const { return memory_; }
    std::byte* mirror() const { return mirror_.get(); }
    const std::shared_ptr<std::byte[]>& mirrorOwner() const { return mirror_; }

    // The CPU's last transfer into the GPU copy, retained for the caller; nullptr when there is none
    // still running. Commands that use the buffer wait for it.
    cl_event takePending()
    {
        std::lock_guard lock(mutex_);
        if (pending_ && finished(pending_)) {
            clReleaseEvent(pending_);
            pending_ = nullptr;
        }
        if (pending_) clRetainEvent(pending_);
        return pending_;
    }

protected:
    Mapping mapRange(std::size_t offset, std::size_t bytes, MapAccess access) override
    {
        if (storageMode() == StorageMode::managed) {
            return Mapping(mirror_.get() + offset, bytes, nullptr);
        }
        cl_map_flags flags = access == MapAccess::read    ? CL_MAP_READ
                             : access == MapAccess::write ? CL_MAP_WRITE
                                                          : (CL_MAP_READ | CL_MAP_WRITE);
        cl_int status = CL_SUCCESS;
        void* pointer = clEnqueueMapBuffer(context_->transfers, memory_, CL_TRUE, flags, offset, bytes, 0, nullptr,
                                           nullptr, &status);
        if (status != CL_SUCCESS || pointer == nullptr) throw Error(describe("clEnqueueMapBuffer", status), status);
        return Mapping(pointer, bytes, [this, pointer] {
            cl_event unmapped = nullptr;
            if (clEnqueueUnmapMemObject(context_->transfers, memory_, pointer, 0, nullptr, &unmapped) == CL_SUCCESS) {
                clFlush(context_->transfers);
                setPending(unmapped);
            }
        });
    }

    void uploadRange(std::size_t offset, std::size_t bytes) override
    {
        cl_event written = nullptr;
        cl_int status = clEnqueueWriteBuffer(context_->transfers, memory_, CL_FALSE, offset, bytes,
                                             mirror_.get() + offset, 0, nullptr, &written);
        if (status != CL_SUCCESS) throw Error(describe("clEnqueueWriteBuffer", status), status);
        clFlush(context_->transfers);
        InFlight::shared().keep(written, mirror_);
        setPending(written);
    }

private:
    void setPending(cl_event event)
    {
        std::lock_guard lock(mutex_);
        if (pending_) clReleaseEvent(pending_);
        pending_ = event;
    }

    std::shared_ptr<ClContext> context_;
    std::uint64_t registryID_;
    cl_mem memory_;
    std::shared_ptr<std::byte[]> mirror_;  // managed storage only
    std::mutex mutex_;
    cl_event pending_ = nullptr;
};

// A kernel function. Each dispatch takes a kernel object of its own from the pool, sets every
// argument and enqueues it before handing it back, so no object is ever used by two threads and
// no argument outlives the enqueue that needed it.
class ClPipeline final : public Pipeline {
public:
    ClPipeline(std::string name, std::uint32_t width, std::uint32_t maxThreads, cl_program program, cl_kernel first,
               cl_uint argumentCount)
        : Pipeline(std::move(name), width, maxThreads), program_(program), argumentCount_(argumentCount), idle_{first}
    {
        clRetainProgram(program_);
    }

    // The kernel's own parameters. Bindings above them belong to other kernels of the same
    // encoder (bindings persist across pipeline changes) and are not passed.
    cl_uint argumentCount() const { return argumentCount_; }
    ~ClPipeline() override
    {
        for (cl_kernel kernel : idle_) clReleaseKernel(kernel);
        clReleaseProgram(program_);
    }

    cl_kernel acquire(cl_int& status)
    {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                cl_kernel kernel = idle_.back();
                idle_.pop_back();
                status = CL_SUCCESS;
                return kernel;
            }
        }
        return clCreateKernel(program_, name().c_str(), &status);
    }

    void giveBack(cl_kernel kernel)
    {
        std::lock_guard lock(mutex_);
        idle_.push_back(kernel);
    }

private:
    cl_program program_;
    cl_uint argumentCount_;
    std::mutex mutex_;
    std::vector<cl_kernel> idle_;
};

ClContext::~ClContext()
{
    copier.reset();
    if (transfers) clReleaseCommandQueue(transfers);
    if (context) clReleaseContext(context);
}

// Copies of at least this many bytes take the copy kernel: below it the launch costs more than one
// thread's copy.
constexpr std::size_t kernelCopyMinimum = std::size_t{4} << 20;

constexpr const char* copierSource = R"(
__kernel void korvalen_copy(__global const uint4* source, __global uint4* destination, const ulong sourceFirst,
                            const ulong destinationFirst, const ulong count)
{
    ulong i = get_global_id(0);
    if (i < count) destination[destinationFirst + i] = source[sourceFirst + i];
}
)";

std::shared_ptr<ClPipeline> buildCopier(const ClContext& context)
{
    cl_int status = CL_SUCCESS;
    const char* text = copierSource;
    cl_program program = clCreateProgramWithSource(context.context, 1, &text, nullptr, &status);
    if (status != CL_SUCCESS || !program) return nullptr;
    cl_kernel kernel = nullptr;
    if (clBuildProgram(program, 1, &context.device, nullptr, nullptr, nullptr) == CL_SUCCESS)
        kernel = clCreateKernel(program, "korvalen_copy", &status);
    std::shared_ptr<ClPipeline> pipeline;
    if (kernel && status == CL_SUCCESS)
        pipeline = std::make_shared<ClPipeline>("korvalen_copy", 1, 1, program, kernel, 5);
    clReleaseProgram(program);  // the pipeline holds its own reference
    return pipeline;
}

class ClLibrary final : public Library {
public:
    ClLibrary(std::shared_ptr<ClContext> context, cl_program program, std::set<std::string> names)
        : context_(std::move(context)), program_(program), names_(std::move(names))
    {}
    ~ClLibrary() override { clReleaseProgram(program_); }

    bool hasFunction(const std::string& name) const override { return names_.count(name) > 0; }

    std::shared_ptr<Pipeline> makePipeline(const std::string& name) override
    {
        cl_int status = CL_SUCCESS;
        cl_kernel kernel = clCreateKernel(program_, name.c_str(), &status);
        if (status != CL_SUCCESS || kernel == nullptr)
            throw Error(describe("clCreateKernel(" + name + ")", status), status);
        std::size_t maxThreads = 0;
        std::size_t multiple = 0;
        status = clGetKernelWorkGroupInfo(kernel, context_->device, CL_KERNEL_WORK_GROUP_SIZE, sizeof maxThreads,
                                          &maxThreads, nullptr);
        cl_uint argumentCount = 0;
        if (status == CL_SUCCESS) {
            status = clGetKernelWorkGroupInfo(kernel, context_->device, CL_KERNEL_PREFERRED_WORK_GROUP_SIZE_MULTIPLE,
                                              sizeof multiple, &multiple, nullptr);
        }
        if (status == CL_SUCCESS) {
            status = clGetKernelInfo(kernel, CL_KERNEL_NUM_ARGS, sizeof argumentCount, &argumentCount, nullptr);
        }
        if (status != CL_SUCCESS) {
            clReleaseKernel(kernel);
            throw Error(describe("clGetKernelWorkGroupInfo(" + name + ")", status), status);
        }
        auto clamp32 = [](std::size_t v) {
            return static_cast<std::uint32_t>(std::clamp<std::size_t>(v, 1, 1u << 30));
        };
        return std::make_shared<ClPipeline>(name, clamp32(multiple), clamp32(maxThreads), program_, kernel,
                                            argumentCount);
    }

private:
    std::shared_ptr<ClContext> context_;
    cl_program program_;
    std::set<std::string> names_;
};

struct ClQueueHandle {
    cl_command_queue queue = nullptr;
    ~ClQueueHandle()
    {
        if (queue) clReleaseCommandQueue(queue);
    }
};

// Everything a committed command buffer needs kept until its commands have run.
struct CommittedWork {
    std::vector<Command> commands;
    std::shared_ptr<ClQueueHandle> queue;
    std::shared_ptr<ClContext> context;
};

// Set by the driver's completion callback of a command buffer's last command.
struct CompletionSignal {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool unavailable = false;  // the driver refused the callback: waits fall back to sleeping

    static void CL_CALLBACK notify(cl_event, cl_int, void* data)
    {
        auto* owner = static_cast<std::shared_ptr<CompletionSignal>*>(data);
        {
            std::lock_guard lock((*owner)->mutex);
            (*owner)->done = true;
        }
        (*owner)->changed.notify_all();
        delete owner;
    }
};

class ClCommandBuffer final : public CommandBuffer {
public:
    ClCommandBuffer(std::shared_ptr<Device> device, std::shared_ptr<ClContext> context,
                    std::shared_ptr<ClQueueHandle> queue)
        : CommandBuffer(std::move(device)), context_(std::move(context)), queue_(std::move(queue))
    {}

    ~ClCommandBuffer() override
    {
        if (!events_.empty() && !finished(events_.back())) {
            auto work = std::make_shared<CommittedWork>(CommittedWork{commands(), queue_, context_});
            InFlight::shared().keep(events_.back(), std::move(work));
        }
        for (cl_event event : events_) clReleaseEvent(event);
    }

    CommandStatus status() override
    {
        if (!committed()) return CommandStatus::notEnqueued;
        if (failure_) return CommandStatus::error;
        if (events_.empty()) return CommandStatus::error;
        cl_int last = executionStatus(events_.back());
        if (last < 0) {
            failWith(last);
            return CommandStatus::error;
        }
        if (last == CL_COMPLETE) {
            for (cl_event event : events_) {
                cl_int each = executionStatus(event);
                if (each < 0) {
                    failWith(each);
                    return CommandStatus::error;
                }
            }
            return CommandStatus::completed;
        }
        return last == CL_RUNNING ? CommandStatus::scheduled : CommandStatus::committed;
    }

    std::optional<std::string> error() override
    {
        status();
        return failure_;
    }

    double gpuStartTime() override { return timestamp(true); }
    double gpuEndTime() override { return timestamp(false); }

protected:
    void enqueue(std::vector<Command>& commands) override
    {
        InFlight::shared().sweep();
        std::vector<cl_event> waits;
        auto waitFor = [&waits](const std::shared_ptr<Buffer>& buffer) {
            if (!buffer) return;
            cl_event pending = static_cast<ClBuffer&>(*buffer).takePending();
            if (pending) waits.push_back(pending);
        };
        for (const Command& command : commands) {
            std::visit(
                [&](const auto& c) {
                    using T = std::decay_t<decltype(c)>;
                    if constexpr (std::is_same_v<T, DispatchCommand>) {
                        for (const auto& argument : c.arguments) {
                            if (argument) waitFor(argument->buffer);
                        }
                    } else if constexpr (std::is_same_v<T, CopyCommand>) {
                        waitFor(c.source);
                        waitFor(c.destination);
                    } else {
                        waitFor(c.buffer);
                    }
                },
                command);
        }

        cl_command_queue queue = queue_->queue;
        for (const Command& command : commands) {
            const cl_uint waitCount = events_.empty() ? static_cast<cl_uint>(waits.size()) : 0;
            const cl_event* waitList = waitCount ? waits.data() : nullptr;
            cl_event event = nullptr;
            cl_int status =
                std::visit([&](const auto& c) { return enqueueOne(c, queue, waitCount, waitList, &event); }, command);
            if (status != CL_SUCCESS) break;
            events_.push_back(event);
        }
        if (events_.empty() && !failure_) {
            cl_event marker = nullptr;
            cl_int status = clEnqueueMarkerWithWaitList(queue, static_cast<cl_uint>(waits.size()),
                                                        waits.empty() ? nullptr : waits.data(), &marker);
            if (status == CL_SUCCESS) {
                events_.push_back(marker);
            } else {
                failure_ = describe("clEnqueueMarkerWithWaitList", status);
            }
        }
        clFlush(queue);
        for (cl_event event : waits) clReleaseEvent(event);
    }

public:
    void waitBriefly(double maxSeconds) override
    {
        if (!committed() || failure_ || events_.empty()) {
            CommandBuffer::waitBriefly(maxSeconds);
            return;
        }
        if (!callbackSet_) {
            // Asked for only by a waiter that found the work unfinished: a completion callback
            // costs the driver a wake-up per command, which work nobody sleeps on never needs.
            // The callback owns one reference to the signal, so it may fire after this buffer is gone.
            callbackSet_ = true;
            auto* owner = new std::shared_ptr<CompletionSignal>(signal_);
            if (clSetEventCallback(events_.back(), CL_COMPLETE, &CompletionSignal::notify, owner) != CL_SUCCESS) {
                delete owner;
                signal_->unavailable = true;
            }
        }
        if (signal_->unavailable) {
            CommandBuffer::waitBriefly(maxSeconds);
            return;
        }
        std::unique_lock lock(signal_->mutex);
        signal_->changed.wait_for(lock, std::chrono::duration<double>(maxSeconds), [this] { return signal_->done; });
    }

private:
    // The copy kernel, for a large copy in whole 16-byte words on a device that takes it.
    ClPipeline* kernelCopier(const CopyCommand& c)
    {
        if (!context_->kernelCopies || c.size < kernelCopyMinimum ||
            (c.size | c.sourceOffset | c.destinationOffset) % 16)
            return nullptr;
        std::call_once(context_->copierBuilt, [this] { context_->copier = buildCopier(*context_); });
        return context_->copier.get();
    }

    cl_int enqueueOne(const DispatchCommand& c, cl_command_queue queue, cl_uint waitCount, const cl_event* waitList,
                      cl_event* event)
    {
        auto& pipeline = static_cast<ClPipeline&>(*c.pipeline);
        cl_int status = CL_SUCCESS;
        cl_kernel kernel = pipeline.acquire(status);
        if (status != CL_SUCCESS || !kernel) {
            failure_ = describe("clCreateKernel(" + pipeline.name() + ")", status);
            return status == CL_SUCCESS ? CL_INVALID_KERNEL : status;
        }
        const cl_uint bound = std::min<cl_uint>(static_cast<cl_uint>(c.arguments.size()), pipeline.argumentCount());
        for (cl_uint index = 0; index < bound && status == CL_SUCCESS; ++index) {
            const KernelArgument& argument = *c.arguments[index];
            if (argument.buffer) {
                cl_mem memory = static_cast<ClBuffer&>(*argument.buffer).memory();
                status = clSetKernelArg(kernel, index, sizeof(cl_mem), &memory);
            } else {
                status = clSetKernelArg(kernel, index, argument.bytes.size(), argument.bytes.data());
            }
            if (status != CL_SUCCESS) {
                failure_ = describe("clSetKernelArg(" + pipeline.name() + ", " + std::to_string(index) + ")", status);
            }
        }
        if (status == CL_SUCCESS) {
            const std::uint32_t grid[3] = {c.grid.width, c.grid.height, c.grid.depth};
            const std::uint32_t group[3] = {c.threadsPerGroup.width, c.threadsPerGroup.height, c.threadsPerGroup.depth};
            cl_uint dimensions = (grid[2] > 1 || group[2] > 1) ? 3 : (grid[1] > 1 || group[1] > 1) ? 2 : 1;
            std::size_t global[3];
            std::size_t local[3];
            for (int d = 0; d < 3; ++d) {
                local[d] = group[d];
                global[d] = (static_cast<std::size_t>(grid[d]) + group[d] - 1) / group[d] * group[d];
            }
            status =
                clEnqueueNDRangeKernel(queue, kernel, dimensions, nullptr, global, local, waitCount, waitList, event);
            if (status != CL_SUCCESS) failure_ = describe("clEnqueueNDRangeKernel(" + pipeline.name() + ")", status);
        }
        pipeline.giveBack(kernel);
        return status;
    }

    cl_int enqueueOne(const CopyCommand& c, cl_command_queue queue, cl_uint waitCount, const cl_event* waitList,
                      cl_event* event)
    {
        if (ClPipeline* copier = kernelCopier(c)) {
            cl_int status = CL_SUCCESS;
            cl_kernel kernel = copier->acquire(status);
            if (status == CL_SUCCESS && kernel) {
                cl_mem source = static_cast<ClBuffer&>(*c.source).memory();
                cl_mem destination = static_cast<ClBuffer&>(*c.destination).memory();
                const cl_ulong arguments[3] = {c.sourceOffset / 16, c.destinationOffset / 16, c.size / 16};
                status = clSetKernelArg(kernel, 0, sizeof source, &source);
                if (status == CL_SUCCESS) status = clSetKernelArg(kernel, 1, sizeof destination, &destination);
                for (cl_uint i = 0; i < 3 && status == CL_SUCCESS; ++i)
                    status = clSetKernelArg(kernel, 2 + i, sizeof(cl_ulong), &arguments[i]);
                const std::size_t global = c.size / 16;
                if (status == CL_SUCCESS)
                    status =
                        clEnqueueNDRangeKernel(queue, kernel, 1, nullptr, &global, nullptr, waitCount, waitList, event);
                copier->giveBack(kernel);
                if (status != CL_SUCCESS) failure_ = describe("clEnqueueNDRangeKernel(korvalen_copy)", status);
                return status;
            }
        }
        cl_int status = clEnqueueCopyBuffer(queue, static_cast<ClBuffer&>(*c.source).memory(),
                                            static_cast<ClBuffer&>(*c.destination).memory(), c.sourceOffset,
                                            c.destinationOffset, c.size, waitCount, waitList, event);
        if (status != CL_SUCCESS) failure_ = describe("clEnqueueCopyBuffer", status);
        return status;
    }

    cl_int enqueueOne(const FillCommand& c, cl_command_queue queue, cl_uint waitCount, const cl_event* waitList,
                      cl_event* event)
    {
        cl_int status = clEnqueueFillBuffer(queue, static_cast<ClBuffer&>(*c.buffer).memory(), &c.value, 1, c.offset,
                                            c.size, waitCount, waitList, event);
        if (status != CL_SUCCESS) failure_ = describe("clEnqueueFillBuffer", status);
        return status;
    }

    cl_int enqueueOne(const SynchronizeCommand& c, cl_command_queue queue, cl_uint waitCount, const cl_event* waitList,
                      cl_event* event)
    {
        auto& buffer = static_cast<ClBuffer&>(*c.buffer);
        cl_int status = clEnqueueReadBuffer(queue, buffer.memory(), CL_FALSE, 0, buffer.length(), buffer.mirror(),
                                            waitCount, waitList, event);
        if (status != CL_SUCCESS) failure_ = describe("clEnqueueReadBuffer", status);
        return status;
    }

    static cl_int executionStatus(cl_event event)
    {
        cl_int status = CL_QUEUED;
        cl_int result = clGetEventInfo(event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr);
        return result == CL_SUCCESS ? status : result;
    }

    void failWith(cl_int status)
    {
        if (!failure_) {
            failure_ = "OpenCL command failed: " + openCLErrorName(status) + " (" + std::to_string(status) + ")";
        }
    }

    double timestamp(bool start)
    {
        if (status() != CommandStatus::completed) return 0.0;
        if (!timesRead_) {
            timesRead_ = true;
            cl_ulong begin = 0;
            cl_ulong end = 0;
            if (clGetEventProfilingInfo(events_.front(), CL_PROFILING_COMMAND_START, sizeof begin, &begin, nullptr) ==
                    CL_SUCCESS &&
                clGetEventProfilingInfo(events_.back(), CL_PROFILING_COMMAND_END, sizeof end, &end, nullptr) ==
                    CL_SUCCESS) {
                start_ = static_cast<double>(begin) / 1e9;
                end_ = static_cast<double>(end) / 1e9;
            }
        }
        return start ? start_ : end_;
    }

    std::shared_ptr<ClContext> context_;
    std::shared_ptr<ClQueueHandle> queue_;
    std::vector<cl_event> events_;
    std::shared_ptr<CompletionSignal> signal_ = std::make_shared<CompletionSignal>();
    bool callbackSet_ = false;
    std::optional<std::string> failure_;
    bool timesRead_ = false;
    double start_ = 0.0;
    double end_ = 0.0;
};

class ClCommandQueue final : public CommandQueue {
public:
    ClCommandQueue(std::shared_ptr<Device> device, std::shared_ptr<ClContext> context, cl_command_queue queue)
        : device_(std::move(device)), context_(std::move(context)), queue_(std::make_shared<ClQueueHandle>())
    {
        queue_->queue = queue;
    }

    std::shared_ptr<CommandBuffer> makeCommandBuffer() override
    {
        return std::make_shared<ClCommandBuffer>(device_, context_, queue_);
    }
    const std::shared_ptr<Device>& device() const override { return device_; }

private:
    std::shared_ptr<Device> device_;
    std::shared_ptr<ClContext> context_;
    std::shared_ptr<ClQueueHandle> queue_;
};

class ClDevice final : public Device {
public:
    ClDevice(DeviceInfo info, std::shared_ptr<ClContext> context, std::size_t maxBuffer)
        : Device(std::move(info)), context_(std::move(context)), maxBuffer_(maxBuffer)
    {}

    std::size_t maxBufferLength() const override { return maxBuffer_; }

    std::shared_ptr<CommandQueue> makeCommandQueue() override
    {
        cl_int status = CL_SUCCESS;
        cl_command_queue queue =
            clCreateCommandQueue(context_->context, context_->device, CL_QUEUE_PROFILING_ENABLE, &status);
        if (status != CL_SUCCESS || queue == nullptr) return nullptr;
        return std::make_shared<ClCommandQueue>(shared_from_this(), context_, queue);
    }

    std::shared_ptr<Library> makeLibrary(const std::string& source) override
    {
        const char* text = source.c_str();
        const std::size_t length = source.size();
        cl_int status = CL_SUCCESS;
        cl_program program = clCreateProgramWithSource(context_->context, 1, &text, &length, &status);
        if (status != CL_SUCCESS || program == nullptr)
            throw Error(describe("clCreateProgramWithSource", status), status);
        status = clBuildProgram(program, 1, &context_->device, nullptr, nullptr, nullptr);
        if (status != CL_SUCCESS) {
            std::string log = buildLog(program);
            clReleaseProgram(program);
            throw Error(log.empty() ? describe("clBuildProgram", status) : log, status);
        }
        std::set<std::string> names;
        std::size_t size = 0;
        if (clGetProgramInfo(program, CL_PROGRAM_KERNEL_NAMES, 0, nullptr, &size) == CL_SUCCESS && size > 0) {
            std::string list(size, '\0');
            clGetProgramInfo(program, CL_PROGRAM_KERNEL_NAMES, size, list.data(), nullptr);
            list.resize(std::strlen(list.c_str()));
            std::stringstream stream(list);
            std::string name;
            while (std::getline(stream, name, ';')) {
                name = trimmed(name);
                if (!name.empty()) names.insert(name);
            }
        }
        // The copy kernel is built with the first library, so that no measurement's own time or
        // memory includes its compilation.
        if (context_->kernelCopies)
            std::call_once(context_->copierBuilt, [this] { context_->copier = buildCopier(*context_); });
        return std::make_shared<ClLibrary>(context_, program, std::move(names));
    }

protected:
    std::shared_ptr<Buffer> allocate(std::size_t length, StorageMode mode, const void* bytes) override
    {
        InFlight::shared().sweep();
        cl_mem_flags flags = CL_MEM_READ_WRITE;
        std::shared_ptr<std::byte[]> mirror;
        switch (mode) {
        case StorageMode::shared: flags |= CL_MEM_ALLOC_HOST_PTR; break;
        case StorageMode::private_: flags |= CL_MEM_HOST_NO_ACCESS; break;
        case StorageMode::managed: try { mirror = std::shared_ptr<std::byte[]>(new std::byte[length]());
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            if (bytes) std::memcpy(mirror.get(), bytes, length);
            break;
        }
        if (bytes) flags |= CL_MEM_COPY_HOST_PTR;
        cl_int status = CL_SUCCESS;
        cl_mem memory = clCreateBuffer(context_->context, flags, length, const_cast<void*>(bytes), &status);
        if (status != CL_SUCCESS || memory == nullptr) return nullptr;
        return std::make_shared<ClBuffer>(context_, registryID(), memory, length, mode, std::move(mirror));
    }

private:
    std::string buildLog(cl_program program) const
    {
        std::size_t size = 0;
        if (clGetProgramBuildInfo(program, context_->device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) != CL_SUCCESS ||
            size == 0) {
            return {};
        }
        std::string log(size, '\0');
        if (clGetProgramBuildInfo(program, context_->device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr) !=
            CL_SUCCESS) {
            return {};
        }
        log.resize(std::strlen(log.c_str()));
        return trimmed(withoutSourcePaths(log));
    }

    std::shared_ptr<ClContext> context_;
    std::size_t maxBuffer_;
};

}  // namespace

std::shared_ptr<Device> openOpenCLDevice(cl_platform_id platform, cl_device_id device, DeviceInfo info)
{
    auto context = std::make_shared<ClContext>();
    context->platform = platform;
    context->device = device;
    const cl_context_properties properties[] = {CL_CONTEXT_PLATFORM, reinterpret_cast<cl_context_properties>(platform),
                                                0};
    cl_int status = CL_SUCCESS;
    context->context = clCreateContext(properties, 1, &device, nullptr, nullptr, &status);
    if (status != CL_SUCCESS || context->context == nullptr) return nullptr;
    context->kernelCopies = info.kind == DeviceKind::cpu;
    context->transfers = clCreateCommandQueue(context->context, device, 0, &status);
    if (status != CL_SUCCESS || context->transfers == nullptr) return nullptr;
    std::size_t maxBuffer = static_cast<std::size_t>(deviceValue<cl_ulong>(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, 0));
    return std::make_shared<ClDevice>(std::move(info), std::move(context), maxBuffer);
}

std::shared_ptr<Device> openOpenCLDevice(const DeviceInfo& info)
{
    auto handles = nativeDevice(info.registryID);
    if (!handles) return nullptr;
    return openOpenCLDevice(handles->platform, handles->device, info);
}

}  // namespace korvalen::gpu
