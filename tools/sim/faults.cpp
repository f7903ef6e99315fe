// Fault scripts of a station: the text form used by the program, the config file and the tests.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "tools/sim/sim.h"

namespace kesta::sim {

const char *FaultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::None: return "ok";
    case FaultKind::Silence: return "silence";
    case FaultKind::NoReply: return "noreply";
    case FaultKind::Noise: return "noise";
    case FaultKind::HeaderChecksum: return "hcs";
    case FaultKind::DataChecksum: return "dcs";
    case FaultKind::OtherStation: return "other";
    case FaultKind::StaleSequence: return "stale";
    case FaultKind::Split: return "split";
    case FaultKind::Error: return "error";
    case FaultKind::Refuse: return "refuse";
    case FaultKind::SwitchOff: return "off";
    case FaultKind::Restart: return "restart";
    case FaultKind::Drop: return "drop";
    case FaultKind::Resize: return "resize";
    case FaultKind::Unplug: return "unplug";
    case FaultKind::Count: break;
    }
    return "?";
}

namespace {

bool Number(const std::string &text, unsigned long max, unsigned long *value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno || *end || v > max)
        return false;
    *value = v;
    return true;
}

} // namespace

bool ParseFaultScript(const std::string &text, FaultScript *script, std::string *error) {
    FaultScript out;
    size_t pos = 0;
    auto fail = [&](const std::string &token, const std::string &why) {
        if (error)
            *error = "fault '" + token + "': " + why;
        return false;
    };
    while (pos <= text.size()) {
        size_t end = text.find_first_of(", ", pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string token = text.substr(pos, end - pos);
        pos = end + 1;
        if (token.empty())
            continue;

        std::string name = token, param, repeat;
        const size_t star = name.find('*');
        if (star != std::string::npos) {
            repeat = name.substr(star + 1);
            name.resize(star);
        }
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            param = name.substr(eq + 1);
            name.resize(eq);
        }

        if (name == "random") {
            const size_t slash = param.find('/');
            const std::string rate = param.substr(0, slash);
            char *e = nullptr;
            const double r = std::strtod(rate.c_str(), &e);
            if (rate.empty() || *e || !(r >= 0 && r <= 1))
                return fail(token, "random=RATE[/SEED] needs a rate from 0 to 1");
            out.randomRate = r;
            if (slash != std::string::npos) {
                unsigned long seed;
                if (!Number(param.substr(slash + 1), 0xFFFFFFFFul, &seed))
                    return fail(token, "the seed must be a number");
                out.seed = static_cast<uint32_t>(seed);
            }
            continue;
        }

        Fault f;
        static const FaultKind kinds[] = {
            FaultKind::None,           FaultKind::Silence,      FaultKind::NoReply,      FaultKind::Noise,
            FaultKind::HeaderChecksum, FaultKind::DataChecksum, FaultKind::OtherStation, FaultKind::StaleSequence,
            FaultKind::Split,          FaultKind::Error,        FaultKind::Refuse,       FaultKind::SwitchOff,
            FaultKind::Restart,        FaultKind::Drop,         FaultKind::Resize,       FaultKind::Unplug};
        bool known = false;
        for (FaultKind k : kinds)
            if (name == FaultName(k)) {
                f.kind = k;
                known = true;
            }
        if (!known)
            return fail(token, "unknown; expected ok, silence, noreply, noise[=N], hcs, dcs, other, "
                               "stale, split[=MS], error[=E[/FLAGS]], refuse, off[=MS], restart, drop=NAME, "
                               "resize=NAME/COUNT, unplug[=MS] or random=RATE[/SEED], each with an optional *COUNT");
        if (f.kind == FaultKind::Drop || f.kind == FaultKind::Resize) {
            const size_t slash = param.find('/');
            f.name = param.substr(0, slash);
            if (f.name.empty())
                return fail(token, f.kind == FaultKind::Drop ? "drop=NAME names the object"
                                                             : "resize=NAME/COUNT names the array");
            unsigned long v = 0;
            if (f.kind == FaultKind::Resize &&
                (slash == std::string::npos || !Number(param.substr(slash + 1), 0x100000, &v) || v == 0))
                return fail(token, "resize=NAME/COUNT: COUNT is a number of elements from 1");
            if (f.kind == FaultKind::Drop && slash != std::string::npos)
                return fail(token, "drop=NAME takes a name only");
            f.param = static_cast<uint32_t>(v);
            param.clear();
        }
        if (!param.empty()) {
            unsigned long v;
            if (f.kind == FaultKind::Error) {
                const size_t slash = param.find('/');
                if (!Number(param.substr(0, slash), 0xFFFF, &v))
                    return fail(token, "error=E[/FLAGS]: E is an error number 0..65535");
                f.param = static_cast<uint32_t>(v);
                if (slash != std::string::npos) {
                    if (!Number(param.substr(slash + 1), 0xFF, &v))
                        return fail(token, "error=E/FLAGS: FLAGS is a byte");
                    f.flags = static_cast<uint8_t>(v);
                }
            } else if (f.kind == FaultKind::Noise || f.kind == FaultKind::Split) {
                if (!Number(param, 60000, &v))
                    return fail(token, "the parameter must be a number up to 60000");
                f.param = static_cast<uint32_t>(v);
            } else if (f.kind == FaultKind::SwitchOff || f.kind == FaultKind::Unplug) {
                if (!Number(param, 3600000, &v))
                    return fail(token, "the milliseconds must be a number up to 3600000");
                f.param = static_cast<uint32_t>(v);
            } else {
                return fail(token, "takes no parameter");
            }
        }
        if (!repeat.empty()) {
            unsigned long v;
            if (!Number(repeat, 1000000, &v) || v == 0)
                return fail(token, "*COUNT must be a number from 1");
            f.repeat = static_cast<uint32_t>(v);
        }
        out.steps.push_back(f);
    }
    *script = out;
    return true;
}

} // namespace kesta::sim
