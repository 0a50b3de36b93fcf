// Stand-in for the toolkit header of the same name: the launch-shape and vector types.
#pragma once

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

struct alignas(4) uchar4 {
    unsigned char x, y, z, w;
};

struct alignas(8) float2 {
    float x, y;
};
