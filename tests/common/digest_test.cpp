// Bit-exact records of what every kernel instantiation writes: each entry runs over a set of awkward shapes
// (one-window planes, partial tiles in both directions, several tiles, batches) for every element type,
// window size, mode and flag, and a 64-bit digest of every byte it wrote (results, maps, workspaces and
// coefficient scratch) must equal the recorded one. A kernel reorganised for speed must keep every sum in
// its order and every rounding, so the records hold on both backends and across any such change.
//
// KIVO_PRINT_DIGESTS=1 prints the digests a build computes, in the form of the table below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/samples.h"

using namespace kivo_test;

namespace {

// ---- Recorded digests ----------------------------------------------------------------------------------

const std::map<std::string, std::uint64_t> kRecorded = {
    {"gmsd bf16 downsampled", 0xcd74953f85929ff6ull},
    {"gmsd bf16 full", 0xb0ac6360d8bceec3ull},
    {"gmsd f16 downsampled", 0x4e4c9b82fd4511c1ull},
    {"gmsd f16 full", 0x154b149034c56571ull},
    {"gmsd f32 downsampled", 0x399757434aaf268bull},
    {"gmsd f32 full", 0xf7773e56a8bf347eull},
    {"gmsd f32 many tiles", 0x446e0ef537bc6539ull},
    {"gmsd f64 downsampled", 0x399757434aaf268bull},
    {"gmsd f64 full", 0xf7773e56a8bf347eull},
    {"gmsd u8 downsampled", 0xf5efb1ceae59cc4aull},
    {"gmsd u8 full", 0xdbdafc3e12eeb1acull},
    {"pixel bf16 op0", 0xb2727e6291231109ull},
    {"pixel bf16 op1", 0x477c9fab235596bbull},
    {"pixel bf16 op2", 0xea7e905543bdfeb8ull},
    {"pixel bf16 op3", 0x9627f388003da528ull},
    {"pixel f16 op0", 0xe8a6d5d5d0df5abeull},
    {"pixel f16 op1", 0x0297271603260bb6ull},
    {"pixel f16 op2", 0xc52b8bc9c82d0595ull},
    {"pixel f16 op3", 0xc301ac2abf609c4full},
    {"pixel f32 op0", 0x3f88180a7160d728ull},
    {"pixel f32 op1", 0x835df955cd2d2148ull},
    {"pixel f32 op2", 0xe0bd5f44115d34e6ull},
    {"pixel f32 op3", 0xb6733846b7b99777ull},
    {"pixel f64 op0", 0x41af15cce2e3d1a3ull},
    {"pixel f64 op1", 0xf74d8cca7b48aa57ull},
    {"pixel f64 op2", 0x6c9a73f5382d703dull},
    {"pixel f64 op3", 0x339289637b95ffb7ull},
    {"pixel u8 op0", 0xffec6efbcbfc846dull},
    {"pixel u8 op1", 0x82fcde8ee0d4ab03ull},
    {"pixel u8 op2", 0xea88ce798b1bb470ull},
    {"pixel u8 op3", 0xa50a06b98dfb6536ull},
    {"ssim bf16 w11", 0x973146418ea6b4a9ull},
    {"ssim bf16 w3", 0xdfc6eba88c0643dcull},
    {"ssim bf16 w5", 0x95e7a12d74cfd162ull},
    {"ssim bf16 w7", 0x73ea569fdb34d889ull},
    {"ssim bf16 w9", 0xe65f123568de64dbull},
    {"ssim f16 w11", 0x06d8680b810555f2ull},
    {"ssim f16 w3", 0x3ace314949cab39dull},
    {"ssim f16 w5", 0x2fdfb8ed7aeecda9ull},
    {"ssim f16 w7", 0xfd54b62ba253e9a2ull},
    {"ssim f16 w9", 0xccc766b4982f1744ull},
    {"ssim f32 w11", 0x9369cdc6c4374a20ull},
    {"ssim f32 w3", 0xd84b84550a0be51eull},
    {"ssim f32 w5", 0x8f45b7109daa5178ull},
    {"ssim f32 w7", 0xc6252150098bfce1ull},
    {"ssim f32 w9", 0x7eb3d7726bd42f8full},
    {"ssim f64 w11", 0x9369cdc6c4374a20ull},
    {"ssim f64 w3", 0xd84b84550a0be51eull},
    {"ssim f64 w5", 0x8f45b7109daa5178ull},
    {"ssim f64 w7", 0xc6252150098bfce1ull},
    {"ssim f64 w9", 0x7eb3d7726bd42f8full},
    {"ssim u8 w11", 0x80ae26e62a9deae9ull},
    {"ssim u8 w3", 0x24281fa234e7ecb0ull},
    {"ssim u8 w5", 0x8ddba63e4ccf95c1ull},
    {"ssim u8 w7", 0x5dacc6fd27b6a9b7ull},
    {"ssim u8 w9", 0x9ddf027e13e997e2ull},
    {"ssim+map bf16 w11", 0x8fa0ef69a91b770cull},
    {"ssim+map bf16 w3", 0x19530fca83988066ull},
    {"ssim+map bf16 w5", 0x827495e526b25ed1ull},
    {"ssim+map bf16 w7", 0x73b194df0b162309ull},
    {"ssim+map bf16 w9", 0x3103b08377988acbull},
    {"ssim+map f16 w11", 0x06f95c68fb0e3809ull},
    {"ssim+map f16 w3", 0xc7e68c8fbf6cae99ull},
    {"ssim+map f16 w5", 0x7c253913fd505171ull},
    {"ssim+map f16 w7", 0xe0613377dccec59cull},
    {"ssim+map f16 w9", 0xda9c3f199ca9b50aull},
    {"ssim+map f32 w11", 0x917c5fbc6ea0808full},
    {"ssim+map f32 w3", 0x3e5bb63852638405ull},
    {"ssim+map f32 w5", 0xd5fc4a0dc21caf21ull},
    {"ssim+map f32 w7", 0xbddd416c189d4002ull},
    {"ssim+map f32 w9", 0x91f1c7b287da38a8ull},
    {"ssim+map f64 w11", 0x917c5fbc6ea0808full},
    {"ssim+map f64 w3", 0x3e5bb63852638405ull},
    {"ssim+map f64 w5", 0xd5fc4a0dc21caf21ull},
    {"ssim+map f64 w7", 0xbddd416c189d4002ull},
    {"ssim+map f64 w9", 0x91f1c7b287da38a8ull},
    {"ssim+map u8 w11", 0xff00a160042311c3ull},
    {"ssim+map u8 w3", 0xf83fd5acb32c23c5ull},
    {"ssim+map u8 w5", 0x382f96cab0dfc950ull},
    {"ssim+map u8 w7", 0x7fc27ddb63bc9a68ull},
    {"ssim+map u8 w9", 0x3dd5772ff89cdc0cull},
    {"ssim_backward map xy w11", 0x2af682e2146ac7fbull},
    {"ssim_backward map xy w3", 0xf5b11afa61fc42f9ull},
    {"ssim_backward map xy w5", 0xe4ae43a097bac010ull},
    {"ssim_backward map xy w7", 0xf38b2c746f307b81ull},
    {"ssim_backward map xy w9", 0xe3920db63e41ba6full},
    {"ssim_backward map y w11", 0xeb292bd5adae0c50ull},
    {"ssim_backward map y w3", 0x0cae1c5339f074cbull},
    {"ssim_backward map y w5", 0x0d70d7ef1ec1a3b8ull},
    {"ssim_backward map y w7", 0x418a82d018a0b4a6ull},
    {"ssim_backward map y w9", 0x707c5880f1e735e4ull},
    {"ssim_backward mean x w11", 0xd2284b645818cfa3ull},
    {"ssim_backward mean x w3", 0xa6bcb31250b676cfull},
    {"ssim_backward mean x w5", 0xcc74fa4f2d08f534ull},
    {"ssim_backward mean x w7", 0xe6c3091725d2749eull},
    {"ssim_backward mean x w9", 0x48b8028fbf8ff2c9ull},
    {"ssim_backward mean xy w11", 0x44b1e8ba59094575ull},
    {"ssim_backward mean xy w3", 0x8ff9e474e8074052ull},
    {"ssim_backward mean xy w5", 0xf48194141d49936aull},
    {"ssim_backward mean xy w7", 0x92f433ae34393683ull},
    {"ssim_backward mean xy w9", 0x0795ef1f1b928837ull},
    {"ssim_backward padded w11", 0xdf9f3c6a9ce8fd79ull},
    {"ssim_backward padded w3", 0xa032430c1b81650aull},
    {"ssim_backward padded w5", 0x2c4c815bd152b556ull},
    {"ssim_backward padded w7", 0x85280ff3171ac219ull},
    {"ssim_backward padded w9", 0x30750514d483646full},
    {"ssim_cs bf16 w11", 0x7a9946bd6ad2919aull},
    {"ssim_cs bf16 w3", 0xb46aabf4fde5be12ull},
    {"ssim_cs bf16 w5", 0x2cbbd6b759651a97ull},
    {"ssim_cs bf16 w7", 0x56b4199bf26c69a7ull},
    {"ssim_cs bf16 w9", 0x926d26dd1923edb2ull},
    {"ssim_cs f16 w11", 0x506abd71960e9fdaull},
    {"ssim_cs f16 w3", 0x7f02abc3412fce79ull},
    {"ssim_cs f16 w5", 0x1acbba3499c71752ull},
    {"ssim_cs f16 w7", 0x71f70e42be132409ull},
    {"ssim_cs f16 w9", 0x18b3bce305426de7ull},
    {"ssim_cs f32 w11", 0x16c0a142195f2df2ull},
    {"ssim_cs f32 w3", 0xc7f4429e2798943eull},
    {"ssim_cs f32 w5", 0x4a777936ad5cc4bdull},
    {"ssim_cs f32 w7", 0x004eac90c4bedc19ull},
    {"ssim_cs f32 w9", 0x21164f4370926e16ull},
    {"ssim_cs f64 w11", 0x16c0a142195f2df2ull},
    {"ssim_cs f64 w3", 0xc7f4429e2798943eull},
    {"ssim_cs f64 w5", 0x4a777936ad5cc4bdull},
    {"ssim_cs f64 w7", 0x004eac90c4bedc19ull},
    {"ssim_cs f64 w9", 0x21164f4370926e16ull},
    {"ssim_cs u8 w11", 0xa31dad4cc07d0d5cull},
    {"ssim_cs u8 w3", 0xd054906aa3c20ec1ull},
    {"ssim_cs u8 w5", 0x70ffa736fabce600ull},
    {"ssim_cs u8 w7", 0x3685b9bfff6db41cull},
    {"ssim_cs u8 w9", 0xe7b1e8d9c9c144ffull},
    {"ssim_cs_backward x w11", 0x71c7d23cfc2cba1eull},
    {"ssim_cs_backward x w3", 0x08e34e24da188f2dull},
    {"ssim_cs_backward x w5", 0xfc47a229b6ca7853ull},
    {"ssim_cs_backward x w7", 0xc1f65fdb71b9e421ull},
    {"ssim_cs_backward x w9", 0x69972d933e7a9585ull},
    {"ssim_cs_backward xy w11", 0x9f4923510bc8111bull},
    {"ssim_cs_backward xy w3", 0x4c1b1a0dd5d6f22bull},
    {"ssim_cs_backward xy w5", 0x6bf9c8af94254e05ull},
    {"ssim_cs_backward xy w7", 0xac526954ef6ccac2ull},
    {"ssim_cs_backward xy w9", 0x7f62608bb6eb6d36ull},
    {"ssim_loss bf16 w11", 0xec3935753fd639ddull},
    {"ssim_loss bf16 w3", 0x719b21581f90b9e6ull},
    {"ssim_loss bf16 w5", 0x5a0a6a17a4fc0a31ull},
    {"ssim_loss bf16 w7", 0x56e1147d6f8d0544ull},
    {"ssim_loss bf16 w9", 0x694c42466b128c3dull},
    {"ssim_loss f16 w11", 0xe307c359958071ceull},
    {"ssim_loss f16 w3", 0xf448de9a0bce975full},
    {"ssim_loss f16 w5", 0x8c9c090b9b4c01d3ull},
    {"ssim_loss f16 w7", 0xd94ad8fecd68cd26ull},
    {"ssim_loss f16 w9", 0x80005023dee855faull},
    {"ssim_loss f32 w11", 0x97a5c51b1c4ed32full},
    {"ssim_loss f32 w3", 0xa95b42926f8dc3f4ull},
    {"ssim_loss f32 w5", 0x5597a20cf81e3ef9ull},
    {"ssim_loss f32 w7", 0xe05388057bbc0012ull},
    {"ssim_loss f32 w9", 0xfbc898d3294101e6ull},
};

// ---- Digest and inputs -----------------------------------------------------------------------------------

// FNV-1a over the bytes of every buffer added, in order, each preceded by its length.
class Digest {
public:
    template <class T>
    void add(const std::vector<T>& v) {
        const std::uint64_t n = v.size() * sizeof(T);
        bytes(&n, sizeof n);
        bytes(v.data(), n);
    }
    template <class T>
    void add(const DeviceBuffer<T>& b) {
        add(b.download());
    }
    // Every call must succeed; the status is part of the record too.
    void add_status(int status) {
        EXPECT_EQ(status, 0) << kivo_cuda_error_string(status);
        bytes(&status, sizeof status);
    }
    std::uint64_t value() const { return h_; }

private:
    void bytes(const void* p, std::size_t n) {
        const auto* c = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i) h_ = (h_ ^ c[i]) * 0x100000001b3ull;
    }
    std::uint64_t h_ = 0xcbf29ce484222325ull;
};

// A generator whose sequence depends on nothing but the seed (the standard distributions may differ
// between library versions).
class Random {
public:
    explicit Random(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }  // [0, 1) with 53 random bits

private:
    std::uint64_t s_;
};

// Samples in [1/16, 1) for the floating types (full mantissas; the 16-bit types keep the leading bits)
// and 0..255 for 8-bit images; y is x plus noise, so that SSIM values spread widely.
template <class S>
S sample(double v) {
    if constexpr (std::is_same_v<S, unsigned char>) {
        return static_cast<unsigned char>(v * 256.0);
    } else if constexpr (std::is_same_v<S, HalfBits>) {
        return HalfBits{exact_half_bits(static_cast<float>(v))};
    } else if constexpr (std::is_same_v<S, BF16Bits>) {
        return BF16Bits{static_cast<std::uint16_t>(float_bits(static_cast<float>(v)) >> 16)};
    } else {
        return static_cast<S>(v);
    }
}

template <class S>
struct ImagePair {
    DeviceBuffer<S> x, y;
};

template <class S>
ImagePair<S> image_pair(std::size_t n, std::uint64_t seed) {
    Random rng(seed);
    std::vector<S> x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 0.0625 + 0.9375 * rng.uniform();
        const double b = std::min(std::max(a + 0.4 * (rng.uniform() - 0.5), 0.0625), 0.999);
        x[i] = sample<S>(a);
        y[i] = sample<S>(b);
    }
    return ImagePair<S>{DeviceBuffer<S>(x), DeviceBuffer<S>(y)};
}

// An asymmetric window of positive weights summing to about 1, so that mirrored taps would show.
std::vector<float> asymmetric_window(int win) {
    Random rng(1000 + win);
    std::vector<double> w(win);
    double total = 0.0;
    for (double& v : w) total += (v = 0.2 + rng.uniform());
    std::vector<float> f(win);
    for (int i = 0; i < win; ++i) f[i] = float(w[i] / total);
    return f;
}

struct Shape {
    int batch, channels, height, width;
    int planes() const { return batch * channels; }
    std::size_t samples() const { return std::size_t(planes()) * height * width; }
};

// For a window of `win` taps: a single window, partial tiles both ways over a batch, three tiles each way,
// and a thin strip with a partial first tile.
std::vector<Shape> ssim_shapes(int win) {
    return {{1, 1, win, win}, {2, 3, win + 70, win + 36}, {1, 1, win + 130, win + 64}, {3, 1, win + 2, win + 100}};
}

constexpr int kWindows[] = {3, 5, 7, 9, 11};

const char* dtype_name(int dtype) {
    static const char* names[] = {"u8", "f16", "bf16", "f32", "f64"};
    return names[dtype];
}

// Compares the digests computed by a test with the recorded ones; prints the table rows on request.
class DigestTable {
public:
    void record(const std::string& key, std::uint64_t value) { computed_[key] = value; }
    void check() const {
        const bool print = std::getenv("KIVO_PRINT_DIGESTS") != nullptr;
        for (const auto& [key, value] : computed_) {
            if (print) std::printf("    {\"%s\", 0x%016llxull},\n", key.c_str(), static_cast<unsigned long long>(value));
            const auto it = kRecorded.find(key);
            if (it == kRecorded.end()) {
                ADD_FAILURE() << "no recorded digest for " << key;
            } else {
                EXPECT_EQ(value, it->second) << key << ": its outputs changed";
            }
        }
    }

private:
    std::map<std::string, std::uint64_t> computed_;
};

// SSIM constants of each type's sample range.
struct SsimConstants {
    double shift, c1, c2;
};

template <class S>
SsimConstants constants_for() {
    const double range = std::is_same_v<S, unsigned char> ? 255.0 : 1.0;
    return {std::is_same_v<S, unsigned char> ? 128.0 : 0.5, (0.01 * range) * (0.01 * range),
            (0.03 * range) * (0.03 * range)};
}

template <class S>
class DigestOnDevice : public DeviceTest {};
TYPED_TEST_SUITE(DigestOnDevice, StorageTypes);

class DigestF32OnDevice : public DeviceTest {};

// ---- The entries ------------------------------------------------------------------------------------------

// kivo_cuda_ssim with and without a map (modes 1 and 0) and kivo_cuda_ssim_cs (mode 3).
TYPED_TEST(DigestOnDevice, SsimForward) {
    using S = TypeParam;
    const int dtype = dtype_of<S>();
    const SsimConstants k = constants_for<S>();
    DigestTable table;
    for (int win : kWindows) {
        Digest sums, with_map, cs;
        DeviceBuffer<float> window(asymmetric_window(win));
        std::uint64_t seed = 10 * win;
        for (const Shape& s : ssim_shapes(win)) {
            const ImagePair<S> images = image_pair<S>(s.samples(), ++seed);
            int tiles = 0;
            ASSERT_EQ(kivo_cuda_ssim_workspace(s.height, s.width, win, &tiles), 0);
            const std::size_t slots = std::size_t(s.planes()) * tiles;
            DeviceBuffer<double> partials(slots), partials_cs(slots), image(s.batch), batch(1);
            DeviceBuffer<double> plane_ssim(s.planes()), plane_cs(s.planes());
            DeviceBuffer<float> map(std::size_t(s.planes()) * (s.height - win + 1) * (s.width - win + 1));
            for (bool mapped : {false, true}) {
                Digest& d = mapped ? with_map : sums;
                d.add_status(kivo_cuda_ssim(images.x.data(), images.y.data(), dtype, s.batch, s.channels, s.height,
                                            s.width, k.shift, k.c1, k.c2, window.data(), win,
                                            mapped ? map.data() : nullptr, partials.data(), tiles, image.data(),
                                            batch.data(), -1, nullptr));
                d.add(partials);
                d.add(image);
                d.add(batch);
                if (mapped) d.add(map);
            }
            cs.add_status(kivo_cuda_ssim_cs(images.x.data(), images.y.data(), dtype, s.batch, s.channels, s.height,
                                            s.width, k.shift, k.c1, k.c2, window.data(), win, partials.data(),
                                            partials_cs.data(), tiles, plane_ssim.data(), plane_cs.data(), -1,
                                            nullptr));
            cs.add(partials);
            cs.add(partials_cs);
            cs.add(plane_ssim);
            cs.add(plane_cs);
        }
        const std::string suffix = std::string(" ") + dtype_name(dtype) + " w" + std::to_string(win);
        table.record("ssim" + suffix, sums.value());
        table.record("ssim+map" + suffix, with_map.value());
        table.record("ssim_cs" + suffix, cs.value());
    }
    table.check();
}

// Both gradient entries (modes 2 and 4 and the scatter kernel), with a per-window and a scalar incoming
// gradient, and each of the gradients alone and together.
TEST_F(DigestF32OnDevice, SsimGradients) {
    const SsimConstants k = constants_for<float>();
    DigestTable table;
    for (int win : kWindows) {
        DeviceBuffer<float> window(asymmetric_window(win));
        // name, cs entry, per-window gradient, grad_x, grad_y
        struct Variant {
            const char* name;
            bool cs, per_window, want_x, want_y;
        };
        const Variant variants[] = {{"ssim_backward mean x", false, false, true, false},
                                    {"ssim_backward mean xy", false, false, true, true},
                                    {"ssim_backward map y", false, true, false, true},
                                    {"ssim_backward map xy", false, true, true, true},
                                    {"ssim_cs_backward x", true, false, true, false},
                                    {"ssim_cs_backward xy", true, false, true, true}};
        for (const Variant& v : variants) {
            Digest d;
            std::uint64_t seed = 100 * win;
            for (const Shape& s : ssim_shapes(win)) {
                const ImagePair<float> images = image_pair<float>(s.samples(), ++seed);
                const std::size_t windows = std::size_t(s.planes()) * (s.height - win + 1) * (s.width - win + 1);
                Random rng(seed);
                std::vector<float> g(v.per_window ? windows : std::size_t(2 * s.planes()));
                for (float& e : g) e = float(rng.uniform() - 0.3);
                DeviceBuffer<float> incoming(g), grad_mean(std::vector<float>{-0.75f});
                DeviceBuffer<float> stats(4 * windows), grad_x(s.samples()), grad_y(s.samples());
                stats.poison();
                float* gx = v.want_x ? grad_x.data() : nullptr;
                float* gy = v.want_y ? grad_y.data() : nullptr;
                int status;
                if (v.cs) {
                    status = kivo_cuda_ssim_cs_backward(images.x.data(), images.y.data(), incoming.data(),
                                                        incoming.data() + s.planes(), window.data(), win, s.batch,
                                                        s.channels, s.height, s.width, k.shift, k.c1, k.c2,
                                                        stats.data(), gx, gy, -1, nullptr);
                } else {
                    status = kivo_cuda_ssim_backward(images.x.data(), images.y.data(),
                                                     v.per_window ? incoming.data() : nullptr, grad_mean.data(),
                                                     window.data(), win, s.batch, s.channels, s.height, s.width,
                                                     k.shift, k.c1, k.c2, stats.data(), gx, gy, -1, nullptr);
                }
                d.add_status(status);
                // The coefficient maps written (bias_y only with grad_y), then the gradients.
                std::vector<float> maps = stats.download();
                maps.resize((v.want_y ? 4 : 3) * windows);
                d.add(maps);
                if (v.want_x) d.add(grad_x);
                if (v.want_y) d.add(grad_y);
            }
            table.record(std::string(v.name) + " w" + std::to_string(win), d.value());
        }
    }
    table.check();
}

// The same-size gradients: every padding mode on a plane smaller than a window (where a pixel has several
// copies along each axis) and on planes with partial tiles; grad_x alone for zeros and replicate padding, both
// gradients for the others. The whole scratch is digested: maps, padded planes and padded gradients.
TEST_F(DigestF32OnDevice, SsimGradientsOfPaddedWindows) {
    const SsimConstants k = constants_for<float>();
    DigestTable table;
    for (int win : kWindows) {
        DeviceBuffer<float> window(asymmetric_window(win)), grad_mean(std::vector<float>{0.5f});
        Digest d;
        std::uint64_t seed = 700 + win;
        for (int padding = KIVO_CUDA_PAD_ZEROS; padding <= KIVO_CUDA_PAD_SYMMETRIC; ++padding) {
            const kivo_cuda_ssim_options options{padding, 1.0};
            const bool with_y = padding % 2 == 0;
            for (const Shape& s : {Shape{1, 1, win / 2 + 1, win / 2 + 2}, Shape{2, 3, 70, 45}, Shape{1, 1, 67, 130}}) {
                const ImagePair<float> images = image_pair<float>(s.samples(), ++seed);
                long floats = 0;
                ASSERT_EQ(kivo_cuda_ssim_backward_scratch_ex(s.batch, s.channels, s.height, s.width, win, &options,
                                                             with_y, &floats),
                          0);
                DeviceBuffer<float> stats(static_cast<std::size_t>(floats)), grad_x(s.samples()), grad_y(s.samples());
                stats.poison();
                d.add_status(kivo_cuda_ssim_backward_ex(images.x.data(), images.y.data(), nullptr, grad_mean.data(),
                                                        window.data(), win, s.batch, s.channels, s.height, s.width,
                                                        k.shift, k.c1, k.c2, &options, stats.data(), grad_x.data(),
                                                        with_y ? grad_y.data() : nullptr, -1, nullptr));
                d.add(stats);
                d.add(grad_x);
                if (with_y) d.add(grad_y);
            }
        }
        table.record("ssim_backward padded w" + std::to_string(win), d.value());
    }
    table.check();
}

// kivo_cuda_gmsd with and without downsampling, on shapes with odd and even extents and partial tiles.
TYPED_TEST(DigestOnDevice, Gmsd) {
    using S = TypeParam;
    const int dtype = dtype_of<S>();
    const bool eight_bit = std::is_same_v<S, unsigned char>;
    const double c = eight_bit ? 170.0 : 170.0 / (255.0 * 255.0);
    DigestTable table;
    for (int downsample : {0, 1}) {
        // The smallest working image (3 x 3) first, then odd and even extents and partial tiles.
        const Shape smallest = downsample ? Shape{1, 1, 7, 6} : Shape{1, 1, 3, 3};
        const Shape shapes[] = {smallest, {1, 1, 9, 8}, {2, 3, 70, 45}, {1, 1, 129, 97}, {3, 1, 6, 200}};
        Digest d;
        std::uint64_t seed = 500 + downsample;
        for (const Shape& s : shapes) {
            const ImagePair<S> images = image_pair<S>(s.samples(), ++seed);
            int tiles = 0;
            d.add_status(kivo_cuda_gmsd_workspace(s.height, s.width, downsample, &tiles));
            DeviceBuffer<double> partials(std::size_t(s.planes()) * tiles), partials_sq(std::size_t(s.planes()) * tiles);
            DeviceBuffer<double> mean(s.batch), gmsd(s.batch);
            d.add_status(kivo_cuda_gmsd(images.x.data(), images.y.data(), dtype, s.batch, s.channels, s.height, s.width,
                                        downsample, c, 0.0, partials.data(), partials_sq.data(), tiles, mean.data(),
                                        gmsd.data(), -1, nullptr));
            d.add(partials);
            d.add(partials_sq);
            d.add(mean);
            d.add(gmsd);
        }
        table.record(std::string("gmsd ") + dtype_name(dtype) + (downsample ? " downsampled" : " full"), d.value());
    }
    table.check();
}

// kivo_cuda_gmsd of images with more tile sums than the final reduction has threads (323 of 256), so that
// which thread adds which tile sum shows in the results.
TEST_F(DigestF32OnDevice, GmsdOfManyTiles) {
    const Shape s{2, 1, 600, 520};
    const ImagePair<float> images = image_pair<float>(s.samples(), 600);
    int tiles = 0;
    ASSERT_EQ(kivo_cuda_gmsd_workspace(s.height, s.width, 0, &tiles), 0);
    ASSERT_GT(tiles, 256);
    DeviceBuffer<double> partials(std::size_t(s.planes()) * tiles), partials_sq(std::size_t(s.planes()) * tiles);
    DeviceBuffer<double> mean(s.batch), gmsd(s.batch);
    Digest d;
    d.add_status(kivo_cuda_gmsd(images.x.data(), images.y.data(), KIVO_CUDA_DTYPE_F32, s.batch, s.channels, s.height,
                                s.width, 0, 170.0 / (255.0 * 255.0), 0.0, partials.data(), partials_sq.data(), tiles,
                                mean.data(), gmsd.data(), -1, nullptr));
    d.add(mean);
    d.add(gmsd);
    DigestTable table;
    table.record("gmsd f32 many tiles", d.value());
    table.check();
}

// kivo_cuda_pixel_reduce for every operation, with fixed block counts (the workspace query depends on the
// device) and, for 8-bit images, plane sizes that take and that miss the four-sample path.
TYPED_TEST(DigestOnDevice, Pixel) {
    using S = TypeParam;
    const int dtype = dtype_of<S>();
    const bool eight_bit = std::is_same_v<S, unsigned char>;
    struct Case {
        int planes;
        long plane_size;
        int blocks;
    };
    const Case cases[] = {{1, 1, 1}, {3, 1000, 2}, {2, 4096, 3}, {5, 777, 1}, {1, 70001, 7}};
    const double params[] = {0.0, 0.0, eight_bit ? 1.0 : 1e-6, eight_bit ? 20.0 : 0.1};
    DigestTable table;
    for (int op = 0; op < 4; ++op) {
        Digest d;
        std::uint64_t seed = 700 + op;
        for (const Case& c : cases) {
            const ImagePair<S> images = image_pair<S>(std::size_t(c.planes) * c.plane_size, ++seed);
            DeviceBuffer<double> partials(std::size_t(c.planes) * c.blocks), plane(c.planes), all(1);
            DeviceBuffer<double> log_plane(c.planes), log_all(1);
            d.add_status(kivo_cuda_pixel_reduce(images.x.data(), images.y.data(), dtype, c.planes, c.plane_size, op,
                                                params[op], eight_bit ? 48.1308036086791 : 0.0, partials.data(),
                                                c.blocks, plane.data(), all.data(), log_plane.data(), log_all.data(),
                                                -1, nullptr));
            d.add(partials);
            d.add(plane);
            d.add(all);
            d.add(log_plane);
            d.add(log_all);
        }
        table.record(std::string("pixel ") + dtype_name(dtype) + " op" + std::to_string(op), d.value());
    }
    table.check();
}

// The fused loss (modes 5 and 6 and the loss forms of the scatter kernel) on the images it takes: every
// padding, each with another pixel operation, the forward pass without and with coefficients, then the
// backward pass for grad_x alone (even paddings) or both gradients (odd ones).
template <class S>
class LossDigestOnDevice : public DeviceTest {};
using LossTypes = ::testing::Types<HalfBits, BF16Bits, float>;
TYPED_TEST_SUITE(LossDigestOnDevice, LossTypes);

TYPED_TEST(LossDigestOnDevice, SsimLoss) {
    using S = TypeParam;
    const int dtype = dtype_of<S>();
    const SsimConstants k = constants_for<S>();
    DigestTable table;
    for (int win : kWindows) {
        Digest d;
        DeviceBuffer<float> window(asymmetric_window(win));
        std::uint64_t seed = 1000 * win;
        for (int padding = KIVO_CUDA_PAD_VALID; padding <= KIVO_CUDA_PAD_SYMMETRIC; ++padding) {
            const kivo_cuda_ssim_options options{padding, 1.0};
            const int op = padding % 4;
            const bool with_y = padding % 2 == 1;
            for (const Shape& s : ssim_shapes(win)) {
                const ImagePair<S> images = image_pair<S>(s.samples(), ++seed);
                int tiles = 0;
                long floats = 0;
                ASSERT_EQ(kivo_cuda_ssim_workspace_ex(s.height, s.width, win, &options, &tiles), 0);
                ASSERT_EQ(kivo_cuda_ssim_loss_scratch(s.batch, s.channels, s.height, s.width, win, &options, with_y,
                                                      &floats),
                          0);
                DeviceBuffer<double> partials(2 * std::size_t(s.planes()) * tiles), ssim(s.batch), pixel(s.batch);
                DeviceBuffer<double> ssim_all(1), pixel_all(1);
                DeviceBuffer<float> coefficients(floats + floats % 2);  // pairs of floats: 8-byte aligned
                DeviceBuffer<S> grad_x(s.samples()), grad_y(s.samples());
                coefficients.poison();
                for (float* coefs : {static_cast<float*>(nullptr), coefficients.data()}) {
                    d.add_status(kivo_cuda_ssim_loss_forward(
                        images.x.data(), images.y.data(), dtype, s.batch, s.channels, s.height, s.width, k.shift, k.c1,
                        k.c2, window.data(), win, &options, op, 0.01, partials.data(), tiles, ssim.data(),
                        pixel.data(), ssim_all.data(), pixel_all.data(), coefs, with_y, -1, nullptr));
                    d.add(partials);
                    d.add(ssim);
                    d.add(pixel);
                    d.add(ssim_all);
                    d.add(pixel_all);
                }
                d.add(coefficients);
                Random rng(seed);
                std::vector<float> g(2 * std::size_t(s.batch));
                for (float& e : g) e = float(rng.uniform() - 0.3);
                DeviceBuffer<float> incoming(g);
                d.add_status(kivo_cuda_ssim_loss_backward(
                    images.x.data(), images.y.data(), dtype, s.batch, s.channels, s.height, s.width, k.shift,
                    window.data(), win, &options, op, 0.01, coefficients.data(), incoming.data(),
                    incoming.data() + s.batch, grad_x.data(), with_y ? grad_y.data() : nullptr, -1, nullptr));
                d.add(grad_x);
                if (with_y) d.add(grad_y);
            }
        }
        table.record(std::string("ssim_loss ") + dtype_name(dtype) + " w" + std::to_string(win), d.value());
    }
    table.check();
}

}  // namespace
