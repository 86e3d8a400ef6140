#pragma once
// Two network namespaces joined by a veth pair, for tests that capture live
// traffic without touching any real network.
//
//   namespace "wl<pid>a"                     namespace "wl<pid>b"
//   lo (up)                                  lo (up)
//   wl<pid>va  198.51.100.1/24  <-- veth -->  wl<pid>vb  198.51.100.2/24
//              [203.0.113.1/24 with Options::secondAddress]
//
// Typical use:
//
//   if (auto why = NetnsPair::SkipReason(); !why.empty()) GTEST_SKIP() << why;
//   NetnsPair net;
//   ASSERT_TRUE(net.Ok()) << net.Error();
//   {
//       auto inA = net.EnterA();             // this thread now sees only a's interfaces
//       ASSERT_TRUE(inA.Ok()) << inA.Error();
//       ... open the capture (a helper spawned now lives in a as well) ...
//   }                                        // back in the namespace it came from
//   net.RunInB({"ping", "-c", "1", "198.51.100.1"});
//
// Sockets belong to the namespace of the thread that made them, so a socket
// made inside an EnterB() scope keeps sending from b after the scope ends.
// The destructor removes both namespaces (and so the veth pair), also when a
// test fails; namespaces left by a crashed test process are removed by the
// next NetnsPair. Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN) and `ip`.
#include <string>
#include <vector>

namespace wirelens::testing {

// Runs argv (no shell) and waits for it. Returns its exit status, or -1 when it
// could not be run or was killed. Standard output and error go to *output.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

class NetnsPair {
public:
    static constexpr const char* kAddressA = "198.51.100.1";
    static constexpr const char* kAddressB = "198.51.100.2";
    static constexpr const char* kSecondAddressA = "203.0.113.1";
    static constexpr const char* kBroadcast = "198.51.100.255";
    static constexpr const char* kMask = "255.255.255.0";

    struct Options {
        bool secondAddress = false;  // 203.0.113.1/24 on a's veth as well
        int mtu = 1500;              // of both veth ends
    };

    // Why live tests cannot run here (not root, no `ip`, no namespaces), or empty.
    static std::string SkipReason();

    NetnsPair() : NetnsPair(Options{}) {}
    explicit NetnsPair(Options options);
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool Ok() const { return mError.empty(); }
    // The command that failed while setting up, with its output.
    const std::string& Error() const { return mError; }

    const std::string& NameA() const { return mNameA; }
    const std::string& NameB() const { return mNameB; }
    const std::string& InterfaceA() const { return mInterfaceA; }
    const std::string& InterfaceB() const { return mInterfaceB; }

    // Moves the calling thread into a namespace for the guard's lifetime.
    class ScopedEnter {
    public:
        ScopedEnter(ScopedEnter&& other) noexcept;
        ScopedEnter& operator=(ScopedEnter&&) = delete;
        ~ScopedEnter();  // back to where the thread was
        bool Ok() const { return mError.empty(); }
        const std::string& Error() const { return mError; }

    private:
        friend class NetnsPair;
        explicit ScopedEnter(const std::string& name);
        int mOriginal = -1;
        std::string mError;
    };
    [[nodiscard]] ScopedEnter EnterA() const { return ScopedEnter(mNameA); }
    [[nodiscard]] ScopedEnter EnterB() const { return ScopedEnter(mNameB); }

    // Runs a command inside a namespace (`ip netns exec`), as RunCommand does.
    int RunInA(const std::vector<std::string>& argv, std::string* output = nullptr) const;
    int RunInB(const std::vector<std::string>& argv, std::string* output = nullptr) const;

    // Sets a's veth down or up (interface state tests).
    bool SetInterfaceAUp(bool up) const;

private:
    bool Step(const std::vector<std::string>& argv);
    void Remove();

    std::string mNameA;
    std::string mNameB;
    std::string mInterfaceA;
    std::string mInterfaceB;
    std::string mError;
    bool mMadeA = false;
    bool mMadeB = false;
};

}  // namespace wirelens::testing
