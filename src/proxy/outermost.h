#pragma once

#include <functional>
#include <utility>

namespace Tarnwick {

// Calls into an object that nest (a peer's events reach it from inside its own calls),
// and work that must not run nested: taking an HTTP/2 session's output raises the
// session's events, and output taken inside them would overtake what the outer call
// took. The work runs at once when no call is under way, else once the outermost one
// returns, and again as long as it asked for itself meanwhile.
class Outermost {
public:
    explicit Outermost(std::function<void()> work) : m_work(std::move(work)) {}
    Outermost(const Outermost&) = delete;
    Outermost& operator=(const Outermost&) = delete;

    // One call into the object, for its length.
    class Call {
    public:
        explicit Call(Outermost& outer) : m_outer(outer) { ++m_outer.m_depth; }
        ~Call() {
            if (--m_outer.m_depth == 0 && m_outer.m_wanted)
                m_outer.run();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Outermost& m_outer;
    };

    void want() {
        if (m_depth > 0) {
            m_wanted = true;
            return;
        }
        run();
    }

private:
    void run() {
        const Call call(*this); // what the work raises nests under it
        do {
            m_wanted = false;
            m_work();
        } while (m_wanted);
    }

    std::function<void()> m_work;
    int m_depth = 0;
    bool m_wanted = false;
};

} // namespace Tarnwick
