#pragma once

// What the update thread asks of the service whose program it replaces; the
// service's host implements it.
class IUpdateHost
{
public:
    virtual ~IUpdateHost() = default;
    // Whether the service has come far enough to be updated.
    virtual bool ServiceRunning() = 0;
    // Asks the service to stop, once a new build is in place.
    virtual void StopService() = 0;
};
