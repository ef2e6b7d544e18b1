// The control server as the core object sees it: started once at start-up,
// stopped (and its accept thread joined) when it is deleted.
#pragma once

class CCoreIface {
public:
    virtual ~CCoreIface() {}
    // 1 when the server runs (also when it ran already), 0 on any failure.
    virtual int Start() = 0;
    virtual void Stop() = 0;
};
