// Control of the platform's imaging (still-image) service.
#pragma once
#include <cstdint>
#include "platform/handle.h"
#include "platform/service.h"

class CWIAControl {
public:
    CWIAControl();
    virtual ~CWIAControl();
    CWIAControl(const CWIAControl&) = delete;
    CWIAControl& operator=(const CWIAControl&) = delete;

    int QueryStatus(ServiceStatus* out);
    int SetStartType(std::uint8_t startType);
    int Start();
    int Stop();

private:
    Handle m_hSCManager;
    Handle m_hService;
    ServiceStatus m_status;
};
