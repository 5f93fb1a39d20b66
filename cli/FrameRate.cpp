#include "cli/FrameRate.h"

#include "cli/CliError.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string>

namespace {

[[noreturn]] void Bad(std::string_view text, const char* why) {
    throw CliError(ExitCode::Usage, "bad --fps \"" + std::string(text) + "\": " + why);
}

FrameRate FromRatio(std::string_view text, int64_t numerator, int64_t denominator) {
    if (numerator <= 0 || denominator <= 0 || numerator > 1000 * denominator)
        Bad(text, "use a rate above 0 and at most 1000 frames per second");
    const int64_t common = std::gcd(numerator, denominator);
    numerator /= common;
    denominator /= common;
    if (numerator > 1'000'000 || denominator > 100'000) Bad(text, "the ratio is too fine");
    if (denominator == 1) return {static_cast<uint32_t>(numerator * 100), 100};
    return {static_cast<uint32_t>(numerator), static_cast<int32_t>(denominator)};
}

} // namespace

FrameRate ParseFrameRate(std::string_view text) {
    std::string_view trimmed = text;
    while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
    const auto digits = [](std::string_view part, size_t most) {
        return !part.empty() && part.size() <= most && part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    const auto number = [](std::string_view part) {
        int64_t value = 0;
        std::from_chars(part.data(), part.data() + part.size(), value);
        return value;
    };
    if (const size_t slash = trimmed.find('/'); slash != std::string_view::npos) {
        const std::string_view top = trimmed.substr(0, slash), bottom = trimmed.substr(slash + 1);
        if (!digits(top, 9) || !digits(bottom, 9)) Bad(text, "expected a ratio such as 24000/1001");
        return FromRatio(text, number(top), number(bottom));
    }
    const size_t dot = trimmed.find('.');
    const std::string_view whole = trimmed.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : trimmed.substr(dot + 1);
    if (!digits(whole, 4) || (dot != std::string_view::npos && !digits(fraction, 6))) {
        Bad(text, "expected a number such as 24, 23.976 or 24000/1001");
    }
    int64_t denominator = 1;
    for (size_t i = 0; i < fraction.size(); ++i) denominator *= 10;
    const int64_t numerator = number(whole) * denominator + (fraction.empty() ? 0 : number(fraction));
    const double rate = static_cast<double>(numerator) / static_cast<double>(denominator);
    // 23.976 and friends are shorthand for the NTSC ratios N * 1000 / 1001.
    const double nearest = std::round(rate * 1.001);
    if (denominator > 1 && std::fabs(rate - nearest / 1.001) < 0.005 && std::fabs(rate - nearest) > 0.001) {
        return FromRatio(text, static_cast<int64_t>(nearest) * 1000, 1001);
    }
    return FromRatio(text, numerator, denominator);
}

HostTimeline TimelineFor(const FrameRate& rate, int64_t frame, int64_t frames) {
    const int64_t time = frame * rate.timeStep;
    const int64_t duration = frames * rate.timeStep;
    constexpr int64_t kMost = std::numeric_limits<int32_t>::max();
    if (std::llabs(time) > kMost || duration > kMost) {
        throw CliError(ExitCode::Usage, "the frame range is too long for the host's 32-bit time at this frame rate");
    }
    return {static_cast<int32_t>(time), rate.timeStep, static_cast<int32_t>(duration), rate.timeScale};
}
