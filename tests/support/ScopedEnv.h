// Test helper: sets an environment variable for the life of the object and puts back
// what was there before (or removes it). The platform layer reads its settings
// (IOCLASSLIB_REGISTRY, IOCLASSLIB_DOSDEVICES, IOCLASSLIB_DEBUG_OUTPUT) from the
// environment at each use, so a test points them at its own files this way.
#pragma once

#include <stdlib.h>

#include <string>

namespace testsupport {

class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
        const char* old = getenv(name.c_str());
        m_hadValue = old != nullptr;
        if (old != nullptr)
            m_oldValue = old;
        setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_hadValue)
            setenv(m_name.c_str(), m_oldValue.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_oldValue;
    bool m_hadValue = false;
};

}  // namespace testsupport
