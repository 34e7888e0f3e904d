#include "platform/sim/threads.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/world_internal.h"

namespace {

constexpr std::size_t HOST_THREAD = 0;
constexpr std::size_t NO_THREAD = ~std::size_t{0};

enum class ThreadState : std::uint8_t { Running, Sleeping, WaitingForDebt, Done };

struct SimThread {
    int process = 0;
    ThreadState state = ThreadState::Running;
    std::uint64_t wakeAtMs = 0;
    const char* unwindHow = nullptr;  // its process ended: it unwinds at its next switch point
    bool unwinding = false;           // it has thrown already
    std::thread thread;               // none for the host thread
};

// A process end due at a time: the grace of a close, log-off or shutdown
// whose handler is still running then, or an event's end without a handler.
struct ProcessEnd {
    int process = 0;
    std::uint64_t atMs = 0;
    const char* how = "";
    std::size_t handler = NO_THREAD;
};

class Scheduler {
public:
    Scheduler() { World(); }  // the world outlives the threads that use it
    ~Scheduler() { EndOthers(); }
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void Reset();
    void SleepUntil(std::uint64_t wakeAtMs);
    void LockDebt();
    void UnlockDebt();
    bool EndProcess(int process, const char* how, bool returned = false);
    void ThrowIfEnded();
    int RunFirst(const std::function<int()>& main);
    void RunOn(bool tasksToo);
    void EndOthers();
    void CutPower(SimWorld& world);
    void SetProgram(SimUpdaterProgram program) { m_program = std::move(program); }

private:
    SimThread& Current() { return *m_threads[m_current]; }
    std::size_t LiveThreads() const;
    void Pause();
    std::uint64_t NextEventAt(const SimWorld& world) const;
    std::size_t NextThread(const SimWorld& world, std::uint64_t* atMs) const;
    void HandleDueEvents(SimWorld& world);
    void DeliverControl(SimWorld& world, const SimControlEvent& control);
    void StartCopy(SimWorld& world, std::size_t copy);
    void RunDueTasks(SimWorld& world);
    void StartTaskInstance(SimWorld& world, const std::string& name, SimTask& task);
    void RunProgram(int process, const std::function<void(int)>& afterReturn);
    void EndDueProcesses(SimWorld& world);
    std::size_t Spawn(int process, std::function<void()> body);
    void RunThread(std::size_t index, const std::function<void()>& body);
    void SwitchTo(std::size_t next);
    void WaitForTurn(std::size_t index);
    void Activate(int process);
    void JoinDone();

    std::mutex m_mutex;
    std::condition_variable m_turn;
    std::vector<std::unique_ptr<SimThread>> m_threads;
    std::size_t m_current = HOST_THREAD;
    bool m_tearingDown = false;
    // The PC runs on only until every other thread is done: the tasks'
    // triggers then wait for whatever comes next.
    bool m_untilThreadsDone = false;
    std::vector<ProcessEnd> m_ends;
    SimUpdaterProgram m_program;
};

Scheduler& Threads()
{
    static Scheduler scheduler;
    return scheduler;
}

bool Alive(const SimWorld& world, int process)
{
    return static_cast<std::size_t>(process) < world.processes.size() && world.processes[process].started &&
           !world.processes[process].ended;
}

void Scheduler::Reset()
{
    EndOthers();
    if (m_threads.empty()) {
        m_threads.push_back(std::make_unique<SimThread>());
    }
    m_threads.resize(1);
    m_threads[HOST_THREAD] = std::make_unique<SimThread>();
    m_current = HOST_THREAD;
    m_ends.clear();
}

std::size_t Scheduler::LiveThreads() const
{
    std::size_t live = 0;
    for (const auto& thread : m_threads) {
        live += thread->state != ThreadState::Done ? 1 : 0;
    }
    return live;
}

std::uint64_t Scheduler::NextEventAt(const SimWorld& world) const
{
    std::uint64_t at = NEVER_MS;
    if (Alive(world, 0)) {
        if (world.controlEventsDone < world.controlEvents.size()) {
            at = std::min(at, world.controlEvents[world.controlEventsDone].atMs);
        }
        at = std::min(at, world.killAtMs);
        at = std::min(at, world.powerCutAtMs);
    }
    if (world.updaterCopiesStarted < world.updaterCopies.size()) {
        at = std::min(at, world.updaterCopies[world.updaterCopiesStarted].atMs);
    }
    if (world.userMutexHoldersDone < world.userMutexHolders.size()) {
        at = std::min(at, world.userMutexHolders[world.userMutexHoldersDone].atMs);
    }
    for (const ProcessEnd& end : m_ends) {
        at = std::min(at, end.atMs);
    }
    // A PC that shuts down starts no task; one left alone long enough is
    // not followed any further.
    if (!world.shutdownInProgress && !(m_untilThreadsDone && LiveThreads() <= 1)) {
        for (const auto& [name, task] : world.tasks) {
            if (task.nextRunAtMs < world.tasksUntilMs) {
                at = std::min(at, task.nextRunAtMs);
            }
        }
    }
    return at;
}

// The thread that runs next and when: the earliest wake, ties to the thread
// made first. A thread that waits for its process's lock can go on once the
// lock is free, and one whose process ended goes on at once to unwind.
std::size_t Scheduler::NextThread(const SimWorld& world, std::uint64_t* atMs) const
{
    std::size_t next = NO_THREAD;
    *atMs = NEVER_MS;
    for (std::size_t i = 0; i < m_threads.size(); ++i) {
        const SimThread& thread = *m_threads[i];
        std::uint64_t at = NEVER_MS;
        if (thread.state == ThreadState::Sleeping) {
            at = thread.unwindHow != nullptr && !thread.unwinding ? world.nowMs : thread.wakeAtMs;
        } else if (thread.state == ThreadState::WaitingForDebt) {
            const bool free = world.processes[thread.process].debtOwner < 0;
            at = free || (thread.unwindHow != nullptr && !thread.unwinding) ? world.nowMs : NEVER_MS;
        } else {
            continue;
        }
        at = std::max(at, world.nowMs);
        if (next == NO_THREAD || at < *atMs) {
            next = i;
            *atMs = at;
        }
    }
    return next;
}

// The running thread has stopped (asleep, waiting, or done): world events
// happen in time order until a thread is due, and that thread runs.
void Scheduler::Pause()
{
    SimWorld& world = World();
    const std::size_t self = m_current;
    for (;;) {
        std::uint64_t threadAt = NEVER_MS;
        const std::size_t next = NextThread(world, &threadAt);
        const std::uint64_t eventAt = NextEventAt(world);
        if (eventAt != NEVER_MS && eventAt <= threadAt) {
            MoveSimClockTo(world, eventAt);
            HandleDueEvents(world);
            continue;
        }
        if (next == NO_THREAD) {
            std::fputs("simulated threads: none can run (a lock never released)\n", stderr);
            std::abort();
        }
        if (threadAt != NEVER_MS) {
            MoveSimClockTo(world, threadAt);
        }
        if (next != self) {
            SwitchTo(next);
            if (m_threads[self]->state == ThreadState::Done) {
                return;
            }
            WaitForTurn(self);
        }
        Current().state = ThreadState::Running;
        return;
    }
}

void Scheduler::ThrowIfEnded()
{
    SimThread& self = Current();
    if (self.unwindHow != nullptr && !self.unwinding && std::uncaught_exceptions() == 0) {
        self.unwinding = true;
        throw SimProcessEnded{self.unwindHow};
    }
}

void Scheduler::SleepUntil(std::uint64_t wakeAtMs)
{
    SimWorld& world = World();
    if (m_tearingDown) {
        ThrowIfEnded();
        return;
    }
    // One thread and nothing due: time just passes, as cheaply as ever.
    if (LiveThreads() == 1 && NextEventAt(world) > wakeAtMs) {
        MoveSimClockTo(world, wakeAtMs);
        ThrowIfEnded();
        return;
    }
    Current().state = ThreadState::Sleeping;
    Current().wakeAtMs = wakeAtMs;
    Pause();
    ThrowIfEnded();
}

void Scheduler::LockDebt()
{
    SimWorld& world = World();
    if (m_tearingDown) {
        return;
    }
    int& owner = world.processes[world.currentProcess].debtOwner;
    if (owner == static_cast<int>(m_current)) {
        std::fputs("simulated threads: the service-debt lock taken twice by one thread\n", stderr);
        std::abort();
    }
    if (owner >= 0) {
        Current().state = ThreadState::WaitingForDebt;
        Pause();
        ThrowIfEnded();
    }
    world.processes[world.currentProcess].debtOwner = static_cast<int>(m_current);
}

void Scheduler::UnlockDebt()
{
    SimWorld& world = World();
    int& owner = world.processes[world.currentProcess].debtOwner;
    if (owner == static_cast<int>(m_current)) {
        owner = -1;
    }
}

}  // namespace

// ---- events, processes and thread switches ----

namespace {

void Scheduler::HandleDueEvents(SimWorld& world)
{
    if (Alive(world, 0) && world.nowMs >= world.powerCutAtMs) {
        CutPower(world);
    }
    if (Alive(world, 0) && world.nowMs >= world.killAtMs) {
        EndProcess(0, "killed");
    }
    while (Alive(world, 0) && world.controlEventsDone < world.controlEvents.size() &&
           world.controlEvents[world.controlEventsDone].atMs <= world.nowMs) {
        DeliverControl(world, world.controlEvents[world.controlEventsDone++]);
    }
    while (world.updaterCopiesStarted < world.updaterCopies.size() &&
           world.updaterCopies[world.updaterCopiesStarted].atMs <= world.nowMs) {
        StartCopy(world, world.updaterCopiesStarted++);
    }
    while (world.userMutexHoldersDone < world.userMutexHolders.size() &&
           world.userMutexHolders[world.userMutexHoldersDone].atMs <= world.nowMs) {
        OpenUserMutex(world, world.userMutexHoldersDone++);
    }
    RunDueTasks(world);
    EndDueProcesses(world);
}

// The handler runs on a thread of its own in the process, beside the main
// thread. Ctrl+C and Ctrl+Break end the process only when it returns false;
// a close, log-off or shutdown ends it when the handler returns, whatever it
// returns, or after the grace if it has not returned by then.
void Scheduler::DeliverControl(SimWorld& world, const SimControlEvent& control)
{
    const int process = 0;
    const char* name = SimControlName(control.event);
    if (control.event == ConsoleControl::Shutdown) {
        world.shutdownInProgress = true;
        // A task's instance has no console and gets no event: the system
        // ends it with the other processes.
        for (const auto& [name, task] : world.tasks) {
            if (Alive(world, task.instance)) {
                m_ends.push_back(
                    {task.instance, world.nowMs + SimControlTimeLimitMs(world, control.event), "killed", NO_THREAD});
            }
        }
    }
    if (control.noHandler) {
        m_ends.push_back({process, world.nowMs + control.endAfterMs, name, NO_THREAD});
        EndDueProcesses(world);
        return;
    }
    ConsoleControlHandler handler = nullptr;
    WithSimProcessView(world, process, [&] { handler = world.controlHandler; });
    if (handler == nullptr) {
        // Only the default handler: it ends the process.
        world.controlLog.push_back(std::string(name) + " ended");
        EndProcess(process, name);
        return;
    }
    const ConsoleControl event = control.event;
    const bool refusable = event == ConsoleControl::Interrupt || event == ConsoleControl::Break;
    const std::size_t thread = Spawn(process, [this, handler, event, name, refusable] {
        const bool handled = handler(event);
        World().controlLog.push_back(std::string(name) + (handled && refusable ? " handled" : " ended"));
        if (!handled || !refusable) {
            EndProcess(process, name);
        }
    });
    if (!refusable) {
        m_ends.push_back({process, world.nowMs + SimControlTimeLimitMs(world, event), name, thread});
    }
}

void Scheduler::EndDueProcesses(SimWorld& world)
{
    for (;;) {
        const auto due = std::find_if(m_ends.begin(), m_ends.end(),
                                      [&world](const ProcessEnd& end) { return end.atMs <= world.nowMs; });
        if (due == m_ends.end()) {
            return;
        }
        const ProcessEnd end = *due;
        m_ends.erase(due);
        if (!Alive(world, end.process)) {
            continue;
        }
        if (end.handler == NO_THREAD) {
            // A kill is no control event: it leaves no line.
            if (std::string(end.how) != "killed") {
                world.controlLog.push_back(std::string(end.how) + " ended without the handler");
            }
        } else if (m_threads[end.handler]->state != ThreadState::Done) {
            world.controlLog.push_back(std::string(end.how) + " cut off");
        } else {
            continue;
        }
        EndProcess(end.process, end.how);
    }
}

void Scheduler::StartCopy(SimWorld& world, std::size_t copy)
{
    const int process = static_cast<int>(copy) + 1;
    SimProcess& record = world.processes[process];
    record.started = true;
    // A second copy is the same executable started again: its own path is
    // the program's, and a copy of it for the give-back can be made.
    record.imagePath = world.programPath;
    record.arguments = world.updaterCopies[copy].arguments;
    if (world.updaterCopies[copy].killAtMs != NEVER_MS) {
        m_ends.push_back({process, world.updaterCopies[copy].killAtMs, "killed", NO_THREAD});
    }
    RunProgram(process, [](int) {});
}

// The updater's program as process `process`, on a thread of its own;
// `afterReturn` sees its exit code before the process is gone.
void Scheduler::RunProgram(int process, const std::function<void(int)>& afterReturn)
{
    Spawn(process, [this, process, afterReturn] {
        const std::vector<std::string> arguments = World().processes[process].arguments;
        if (!m_program.main) {
            EndProcess(process, "no program");
            return;
        }
        m_program.resetValues();
        const int exitCode = m_program.main(arguments);
        World().processes[process].exitCode = exitCode;
        afterReturn(exitCode);
        EndProcess(process, "return", true);
    });
}

// Nothing runs on without power: every process ends where it is, and what
// was still to come in this PC (events, copies, users' programs) never
// comes. The registry keeps only its disk.
void Scheduler::CutPower(SimWorld& world)
{
    world.powerCutAtMs = NEVER_MS;
    world.powerCutAtCall.clear();
    world.powerWasCut = true;
    world.shutdownInProgress = false;
    world.startTypeAtCut = world.serviceNow.startType;
    LoseUnflushedRegistry(world);
    world.controlEventsDone = world.controlEvents.size();
    world.updaterCopiesStarted = world.updaterCopies.size();
    world.userMutexHoldersDone = world.userMutexHolders.size();
    m_ends.clear();
    for (std::size_t process = 0; process < world.processes.size(); ++process) {
        if (world.processes[process].started) {
            EndProcess(static_cast<int>(process), "power_cut");
        }
    }
}

// Each task whose trigger is due starts an instance, unless one still runs
// (a trigger during a run starts nothing) or its program is gone; the next
// trigger comes a minute later.
void Scheduler::RunDueTasks(SimWorld& world)
{
    constexpr std::uint64_t REPEAT_MS = 60000;
    if (world.shutdownInProgress) {
        return;
    }
    for (auto& [name, task] : world.tasks) {
        if (task.nextRunAtMs > world.nowMs || task.nextRunAtMs >= world.tasksUntilMs) {
            continue;
        }
        while (task.nextRunAtMs <= world.nowMs) {
            task.nextRunAtMs += REPEAT_MS;
        }
        if (!Alive(world, task.instance)) {
            StartTaskInstance(world, name, task);
        }
    }
}

void Scheduler::StartTaskInstance(SimWorld& world, const std::string& name, SimTask& task)
{
    if (world.files.count(SimLowerPath(task.program)) == 0) {
        world.taskRuns.push_back({name, world.nowMs, NO_PROCESS, -1});
        return;
    }
    const int process = static_cast<int>(world.processes.size());
    SimProcess instance;
    instance.started = true;
    instance.arguments = {task.argument};
    instance.imagePath = task.program;
    instance.task = name;
    // A process of its own with no console: what it prints reaches nobody.
    world.processes.push_back(std::move(instance));
    task.instance = process;
    const std::size_t run = world.taskRuns.size();
    world.taskRuns.push_back({name, world.nowMs, process, -1});
    const std::string folder = task.folder;
    RunProgram(process, [run, folder](int exitCode) {
        SimWorld& now = World();
        now.taskRuns[run].exitCode = exitCode;
        if (exitCode == 0) {
            RemoveSimFolder(now, folder);
        }
    });
}

bool Scheduler::EndProcess(int process, const char* how, bool returned)
{
    SimWorld& world = World();
    if (!Alive(world, process)) {
        return m_threads[m_current]->process == process;
    }
    EndSimProcessState(world, process, how, returned);
    for (auto& thread : m_threads) {
        if (thread->process == process && thread->state != ThreadState::Done && thread->unwindHow == nullptr) {
            thread->unwindHow = how;
        }
    }
    std::erase_if(m_ends, [process](const ProcessEnd& end) { return end.process == process; });
    return m_threads[m_current]->process == process;
}

std::size_t Scheduler::Spawn(int process, std::function<void()> body)
{
    auto thread = std::make_unique<SimThread>();
    thread->process = process;
    thread->state = ThreadState::Sleeping;
    thread->wakeAtMs = World().nowMs;
    const std::size_t index = m_threads.size();
    m_threads.push_back(std::move(thread));
    m_threads[index]->thread = std::thread([this, index, body = std::move(body)] { RunThread(index, body); });
    return index;
}

void Scheduler::RunThread(std::size_t index, const std::function<void()>& body)
{
    WaitForTurn(index);
    m_threads[index]->state = ThreadState::Running;
    try {
        if (m_threads[index]->unwindHow == nullptr) {
            body();
        }
    } catch (const SimProcessEnded&) {
        // Its process ended; the thread is gone with it.
    }
    m_threads[index]->state = ThreadState::Done;
    if (m_tearingDown) {
        SwitchTo(HOST_THREAD);
        return;
    }
    Pause();
}

void Scheduler::SwitchTo(std::size_t next)
{
    Activate(m_threads[next]->process);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_current = next;
    }
    m_turn.notify_all();
}

void Scheduler::WaitForTurn(std::size_t index)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_turn.wait(lock, [this, index] { return m_current == index; });
}

// The world's fields and the updater's process-wide values become those of
// `process`.
void Scheduler::Activate(int process)
{
    SimWorld& world = World();
    const int before = world.currentProcess;
    if (process == before || static_cast<std::size_t>(process) >= world.processes.size() ||
        static_cast<std::size_t>(before) >= world.processes.size()) {
        return;
    }
    ShowSimProcess(world, process);
    if (m_program.saveValues) {
        world.processes[before].logicValues = m_program.saveValues();
        if (world.processes[process].logicValues) {
            m_program.loadValues(world.processes[process].logicValues);
        }
    }
}

}  // namespace

// ---- the first process, and the end of a run ----

namespace {

int Scheduler::RunFirst(const std::function<int()>& main)
{
    SimWorld& world = World();
    int exitCode = 0;
    const char* how = "return";
    try {
        exitCode = main();
    } catch (const SimProcessEnded& ended) {
        how = ended.how;
    }
    // The process is gone; the PC goes on until nothing else runs.
    if (Alive(world, 0)) {
        world.processes[0].exitCode = exitCode;
        EndProcess(0, "return", true);
    }
    RunOn(false);
    if (std::string(how) != "return") {
        throw SimProcessEnded{how};
    }
    return exitCode;
}

// The host thread sleeps while the rest of the world runs: until no other
// thread is left, and with `tasksToo` until no task is left to start.
void Scheduler::RunOn(bool tasksToo)
{
    SimThread& host = *m_threads[HOST_THREAD];
    host.unwindHow = nullptr;
    host.unwinding = false;
    host.state = ThreadState::Sleeping;
    host.wakeAtMs = NEVER_MS;
    m_untilThreadsDone = !tasksToo;
    Pause();
    m_untilThreadsDone = false;
    host.wakeAtMs = World().nowMs;
    EndOthers();
}

void Scheduler::EndOthers()
{
    m_tearingDown = true;
    for (std::size_t i = 1; i < m_threads.size(); ++i) {
        SimThread& thread = *m_threads[i];
        if (thread.state == ThreadState::Done) {
            continue;
        }
        if (thread.unwindHow == nullptr) {
            thread.unwindHow = "ended with the run";
        }
        SwitchTo(i);
        WaitForTurn(HOST_THREAD);
    }
    Activate(0);
    m_tearingDown = false;
    JoinDone();
}

void Scheduler::JoinDone()
{
    for (std::size_t i = 1; i < m_threads.size(); ++i) {
        if (m_threads[i]->thread.joinable()) {
            m_threads[i]->thread.join();
        }
    }
    if (!m_threads.empty()) {
        m_threads.resize(1);
        m_current = HOST_THREAD;
    }
}

}  // namespace

void SleepSimThreadUntil(std::uint64_t wakeAtMs)
{
    Threads().SleepUntil(wakeAtMs);
}

void LockSimServiceDebt()
{
    Threads().LockDebt();
}

void UnlockSimServiceDebt()
{
    Threads().UnlockDebt();
}

bool EndSimProcess(int process, const char* how)
{
    return Threads().EndProcess(process, how);
}

void ThrowIfSimThreadEnded()
{
    Threads().ThrowIfEnded();
}

void CutSimPower()
{
    Threads().CutPower(World());
    Threads().ThrowIfEnded();
    throw SimProcessEnded{"power_cut"};
}

void ResetSimThreads()
{
    Threads().Reset();
}

int RunFirstProcess(const std::function<int()>& main)
{
    return Threads().RunFirst(main);
}

void LeaveSimPcOn()
{
    Threads().RunOn(true);
}

void EndSimulatedThreads()
{
    Threads().EndOthers();
}

void SetSimUpdaterProgram(SimUpdaterProgram program)
{
    Threads().SetProgram(std::move(program));
}
