// An allocation that fails inside the open sequence (std::bad_alloc from new, a string or a
// vector) reaches Java as java.lang.Exception and leaves nothing behind; it never escapes
// into the JVM. This program replaces the global operator new so that a test can make the
// Nth allocation of its own thread fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "EthTestSupport.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "NativeTestSupport.h"
#include "TestPort.h"
#include "tillportcomm.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "Native.h"

namespace {

thread_local long t_nAllocationsBeforeFailure = -1;  // -1: none fails
thread_local bool t_bAllocationFailed = false;

}  // namespace

// Every form but the aligned ones comes here and goes back to free(), so a sanitizer's own
// operator new and delete never meet these.
void* operator new(std::size_t nSize) {
    if (t_nAllocationsBeforeFailure == 0) {
        t_nAllocationsBeforeFailure = -1;
        t_bAllocationFailed = true;
        throw std::bad_alloc();
    }
    if (t_nAllocationsBeforeFailure > 0) --t_nAllocationsBeforeFailure;
    void* p = std::malloc(nSize != 0 ? nSize : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t nSize) { return ::operator new(nSize); }
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(nSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t nSize, const std::nothrow_t& nothrow) noexcept {
    return ::operator new(nSize, nothrow);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {


TEST(OutOfMemory, AnAllocationFailingAnywhereInTheOpenSequenceThrowsAndGivesEverythingBack) {
    LoopbackPeer peer;
    const int nLiveBefore = TestPort::s_nLive;
    struct Opener {
        const char* szHost;
        std::function<jint(FakeJni&, jstring)> open;
    };
    const Opener openers[] = {
        {"127.0.0.1",
         [&](FakeJni& fake, jstring host) {
             return NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, host, peer.Port());
         }},
        // A port whose Init allocates: the failure comes after the port was created.
        {"printer-at-the-kitchen-pass",
         [](FakeJni& fake, jstring host) {
             return tillport::CatchAtEdge(fake.env(), "TestOpen", 0, [&] { return OpenTestPort(fake, host, 9100); });
         }},
    };
    for (const Opener& opener : openers) {
        SCOPED_TRACE(opener.szHost);
        int nFailures = 0;
        // The first nAllowed allocations of the call go through, the next one fails.
        for (long nAllowed = 0; nAllowed < 100; ++nAllowed) {
            FakeJni fake;
            LogCapture log;
            jstring host = fake.NewString(opener.szHost);
            t_bAllocationFailed = false;
            t_nAllocationsBeforeFailure = nAllowed;
            jint nId = opener.open(fake, host);
            t_nAllocationsBeforeFailure = -1;
            if (!t_bAllocationFailed) {  // the sequence needs no more: it opened the port
                EXPECT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
                NATIVE(CloseDevice)(fake.env(), nullptr, nId);
                break;
            }
            ++nFailures;
            EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
            EXPECT_EQ(fake.PendingMessage(), "ERROR: Out of memory!");
            EXPECT_TRUE(log.Has("Exit For Exception"));
            EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
            EXPECT_EQ(TestPort::s_nLive.load(), nLiveBefore) << "a port created but not stored was kept";
            fake.ExpectClean();
        }
        EXPECT_GE(nFailures, 3) << "the open sequence allocates more than this";
    }
}

}  // namespace
