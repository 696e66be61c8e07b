#ifndef TILLPORTCOMM_TESTS_SERIALLINE_H
#define TILLPORTCOMM_TESTS_SERIALLINE_H

#include <termios.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

// Emulated serial lines: an umockdev testbed in which /dev/ttySn is a pseudo-terminal whose
// other end the test holds as the printer. Termios, poll, FIONREAD, tcdrain and tcflush run
// on the real terminal. Only lines added here exist inside the testbed; any other /dev path
// falls through to the machine, so tests add every line they open. A step that fails, or a
// line that was never added, throws std::runtime_error. The C++ serial tests and the JVM's
// serial testbed (tests/serial/jvm) both use it.
class SerialLine {
public:
    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Adds /dev/ttyS<index> and returns the printer's end of it.
    int AddLine(int index);
    // Makes /dev/ttyS<index> a plain file: it opens, but it is no terminal.
    void AddNonTerminal(int index);
    // An index 0..8 that neither the testbed nor the machine has as /dev/ttyS<index>, or -1.
    int MissingIndex() const;

    // The printer answers: bytes written at its end.
    void Send(int index, const std::vector<unsigned char>& bytes);
    // What the library wrote: reads at the printer's end until nCount bytes arrived or
    // nTimeoutMs passed without a byte.
    std::vector<unsigned char> Receive(int index, size_t nCount, int nTimeoutMs = 3000);
    // The settings the library applied to the line.
    struct termios Settings(int index);
    // Sets the line's settings from the printer's end (both ends share them).
    void Apply(int index, const struct termios& settings);

private:
    int End(int index);

    UMockdevTestbed* m_pTestbed;
    UMockdevIoctlBase* m_pPassThrough;
    std::map<int, int> m_ends;
};

// For the C++ serial test programs only (SerialTestSupport.cpp).

// Open descriptors of this process.
int CountOpenDescriptors();

// Sizes of the write() calls the library made on one descriptor, recorded by a write()
// that the test program puts in front of the system library's.
void RecordWritesOn(int fd);
std::vector<size_t> RecordedWrites();

// Flags of the open() calls the library made on one path ("" records none), recorded by
// an open() that the test program puts in front of the system library's.
void RecordOpensOf(const std::string& path);
std::vector<int> RecordedOpenFlags();

std::vector<unsigned char> Pattern(size_t nCount);

#endif
