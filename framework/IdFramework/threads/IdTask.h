// The unit of work that a worker thread runs: enter once, step while it answers true, leave once.
#pragma once

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

class TIdYarn;

class TIdTask : public TObject {
public:
    explicit TIdTask(TIdYarn* AYarn) : FYarn(AYarn) {}
    // Frees Data.
    ~TIdTask() override;

    bool BeforeRunDone() const { return FBeforeRunDone; }
    TObject* Data() const { return FData; }
    // The task owns what it is given here.
    void SetData(TObject* AValue) { FData = AValue; }
    TIdYarn* Yarn() const { return FYarn; }

    // The fixed entry points that the thread calls.
    void DoBeforeRun() {
        FBeforeRunDone = true;
        EnterTask();
    }
    bool DoRun() { return TaskStep(); }
    void DoAfterRun() { LeaveTask(); }
    void DoException(Exception& AException) { HandleTaskException(AException); }

protected:
    // The hooks that descendants override.
    virtual void LeaveTask() {}
    virtual void EnterTask() {}
    virtual bool TaskStep() = 0;
    virtual void HandleTaskException(Exception& AException) { (void)AException; }

private:
    bool FBeforeRunDone = false;
    TObject* FData = nullptr;  // owned
    TIdYarn* FYarn;            // not owned
};

}  // namespace Id
