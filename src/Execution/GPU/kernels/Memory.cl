// Device-memory bandwidth, the cache ladder probe and the KV-cache read/write.

__kernel void metal_memory_copy(__global const uint4* source, __global uint4* destination, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    destination[gid] = source[gid];
}

__kernel void metal_cache_probe(__global const float* source, __global float* output, const CacheShape shape)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= shape.outputCount || shape.sourceCount == 0u) return;
    uint mask = shape.sourceCount - 1u;
    uint index = (gid * 131u + (gid >> 3)) & mask;
    float sum = 0.0f;
    for (uint read = 0; read < shape.reads; ++read) {
        sum += source[index];
        index = (index + shape.stride + read * 17u) & mask;
    }
    output[gid] = sum;
}

__kernel void kv_cache_read_write(__global const half* source, __global half* destination, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    float value = vload_half(gid, source);
    float bias = (float)((int)(gid & 7u) - 3) * 0.0001f;
    vstore_half(value * 0.9990234375f + bias, gid, destination);
}
