// The script values a native step of the bridge made or was handed, let go of on every way out.
#pragma once

#include <jsc/jsc.h>

#include <vector>

namespace brevanto_panel {

struct Values {
    std::vector<JSCValue*> items;
    Values() = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
        for (JSCValue* value : items)
            if (value) g_object_unref(value);
    }
    JSCValue* Add(JSCValue* value) {
        items.push_back(value);
        return value;
    }
};

}  // namespace brevanto_panel
