#include "shared/exception.h"

namespace mf {

Text FormatText(TextView format, TextView argument) {
    const auto at = format.find(u"%s");
    if (at == TextView::npos) {
        return Text(format);
    }
    Text out;
    out.reserve(format.size() + argument.size());
    out.append(format.substr(0, at));
    out.append(argument);
    out.append(format.substr(at + 2));
    return out;
}

}  // namespace mf
