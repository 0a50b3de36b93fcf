// kivo-compare REFERENCE DISTORTED [options]: every metric of the library on two image files.
#include <cstdio>
#include <exception>

#include "backend.h"
#include "failure.h"
#include "images.h"
#include "metrics.h"
#include "options.h"
#include "report.h"

using namespace kivo_compare;

int main(int argc, char** argv) {
    try {
        const Options options = parse_options(argc, argv);
        if (options.help) {
            std::fputs(usage_text(), stdout);
            return kExitOk;
        }
        const Image reference = read_image(options.reference);
        const Image distorted = read_image(options.distorted);
        const Settings settings{options.dtype, options.data_range, options.window,
                                options.sigma, options.metrics,    !options.map_path.empty(),
                                options.padding, options.sample_covariance};
        check_pair(reference, distorted, settings);

        const Backend backend = Backend::open(options.backend);
        const Results results = compare(backend, reference, distorted, settings);
        if (settings.map) write_map_png(options.map_path, results.map);
        for (const std::string& note : results.notes) std::fprintf(stderr, "kivo-compare: %s\n", note.c_str());
        const Report report{options, reference, distorted, backend, results};
        if (options.json)
            print_json(stdout, report);
        else
            print_text(stdout, report);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "kivo-compare: %s\n", failure.what());
        return failure.exit_status();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivo-compare: %s\n", e.what());
        return kExitFailure;
    }
}
