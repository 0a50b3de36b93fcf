#include "report.h"

#include <cmath>
#include <string>

namespace kivo_compare {
namespace {

struct Column {
    unsigned metric;
    const char* title;
    const char* key;
    std::optional<double> Values::*value;
    const char* format;
    bool per_channel;
};

const Column kColumns[] = {
    {kSsim, "SSIM", "ssim", &Values::ssim, "%.6f", true},
    {kMsSsim, "MS-SSIM", "ms_ssim", &Values::ms_ssim, "%.6f", true},
    {kGmsd, "GMSD", "gmsd", &Values::gmsd, "%.6f", false},
    {kPsnr, "PSNR dB", "psnr", &Values::psnr, "%.3f", true},
    {kMse, "MSE", "mse", &Values::mse, "%.4f", true},
    {kMae, "MAE", "mae", &Values::mae, "%.4f", true},
};

const char* channel_name(int channels, int c) {
    static const char* const kRgb[] = {"R", "G", "B"};
    return channels == 1 ? "grey" : kRgb[c];
}

std::string format_number(const char* format, double v) {
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string json_number(const std::optional<double>& v) {
    if (!v || !std::isfinite(*v)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *v);
    return text;
}

void print_row(std::FILE* out, const char* name, const Values& values, bool channel_row, unsigned metrics) {
    std::fprintf(out, "%-8s", name);
    for (const Column& col : kColumns) {
        if (!(metrics & col.metric)) continue;
        const std::optional<double>& v = values.*col.value;
        const std::string cell = channel_row && !col.per_channel ? "-" : v ? format_number(col.format, *v) : "n/a";
        std::fprintf(out, " %10s", cell.c_str());
    }
    std::fputc('\n', out);
}

// The members of one JSON row object, after any members already written.
void print_json_values(std::FILE* out, const Values& values, bool channel_row, unsigned metrics, bool first) {
    for (const Column& col : kColumns) {
        if (!(metrics & col.metric) || (channel_row && !col.per_channel)) continue;
        std::fprintf(out, "%s\"%s\": %s", first ? "" : ", ", col.key, json_number(values.*col.value).c_str());
        first = false;
    }
}

}  // namespace

void print_text(std::FILE* out, const Report& report) {
    const Options& o = report.options;
    const Planes& p = report.reference.planes;
    std::fprintf(out, "reference  %s\n", report.reference.path.c_str());
    std::fprintf(out, "distorted  %s\n", report.distorted.path.c_str());
    std::fprintf(out, "images     %d x %d, %s, %d-bit\n", p.width, p.height, colour_name(p.channels), report.reference.bits);
    std::fprintf(out, "backend    %s\n", report.backend.description().c_str());
    std::fprintf(out,
                 "settings   %s samples, data range %g, SSIM window %d taps with sigma %g, %s padding, %s "
                 "covariance, GMSD on luma\n\n",
                 dtype_by_code(o.dtype).name, report.results.data_range, o.window, o.sigma, kPaddingNames[o.padding],
                 o.sample_covariance ? "sample" : "population");
    std::fprintf(out, "%-8s", "channel");
    for (const Column& col : kColumns)
        if (o.metrics & col.metric) std::fprintf(out, " %10s", col.title);
    std::fputc('\n', out);
    for (int c = 0; c < p.channels; ++c)
        print_row(out, channel_name(p.channels, c), report.results.channels[c], true, o.metrics);
    print_row(out, "image", report.results.image, false, o.metrics);
}

void print_json(std::FILE* out, const Report& report) {
    const Options& o = report.options;
    const Planes& p = report.reference.planes;
    const Results& r = report.results;
    std::fprintf(out, "{\n  \"reference\": %s,\n  \"distorted\": %s,\n", json_string(report.reference.path).c_str(),
                 json_string(report.distorted.path).c_str());
    std::fprintf(out, "  \"width\": %d, \"height\": %d, \"channels\": %d, \"bits\": %d,\n", p.width, p.height,
                 p.channels, report.reference.bits);
    std::fprintf(out, "  \"backend\": %s, \"device\": %s,\n", json_string(report.backend.kind()).c_str(),
                 report.backend.on_gpu() ? json_string(report.backend.device_name()).c_str() : "null");
    std::fprintf(out, "  \"dtype\": \"%s\", \"data_range\": %s, \"window\": %d, \"sigma\": %s,\n",
                 dtype_by_code(o.dtype).name, json_number(r.data_range).c_str(), o.window, json_number(o.sigma).c_str());
    std::fprintf(out, "  \"padding\": \"%s\", \"covariance\": \"%s\",\n", kPaddingNames[o.padding],
                 o.sample_covariance ? "sample" : "population");
    std::fprintf(out, "  \"per_channel\": [");
    for (int c = 0; c < p.channels; ++c) {
        std::fprintf(out, "%s\n    {\"channel\": \"%s\"", c == 0 ? "" : ",", channel_name(p.channels, c));
        print_json_values(out, r.channels[c], true, o.metrics, false);
        std::fputc('}', out);
    }
    std::fprintf(out, "\n  ],\n  \"image\": {");
    print_json_values(out, r.image, false, o.metrics, true);
    std::fprintf(out, "},\n  \"notes\": [");
    for (std::size_t i = 0; i < r.notes.size(); ++i)
        std::fprintf(out, "%s%s", i == 0 ? "" : ", ", json_string(r.notes[i]).c_str());
    std::fprintf(out, "]\n}\n");
}

}  // namespace kivo_compare
