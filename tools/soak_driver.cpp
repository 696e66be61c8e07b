// One process of the soak (scripts/soak.sh): drives several TCP printer ports, one after
// another on its single thread, through the library's exported JNI functions, with a small
// JNIEnv of its own in place of a JVM. Every job carries a header naming this process and
// its sequence number, so --verify can later find each job the library reported written
// in what the virtual printer recorded.
//
//   soak_driver --port P [--ports K] [--seconds S] [--id N] [--seed X] --jobs FILE
//   soak_driver --verify --record-dir DIR JOBS_FILE...
#include <dirent.h>
#include <jni.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvik_services_posprinterPortComm_CommonComPort.h"

#define NATIVE(name) Java_orvik_services_posprinterPortComm_CommonComPort_##name

namespace {

using Clock = std::chrono::steady_clock;

// ---- A JNIEnv holding the dozen functions the library calls --------------------------

struct Object {
    std::string text;
    std::vector<jbyte> bytes;
    std::vector<jint> ints;
};

struct Env {
    JNIEnv env;
    JNINativeInterface_ table;
    std::vector<std::unique_ptr<Object>> objects;  // freed after every cycle
    bool bPending = false;
    std::string message;
};

Env& From(JNIEnv* env) { return *reinterpret_cast<Env*>(env); }
Object* Of(jobject obj) { return reinterpret_cast<Object*>(obj); }

jobject Make(JNIEnv* env, Object object) {
    From(env).objects.push_back(std::make_unique<Object>(std::move(object)));
    return reinterpret_cast<jobject>(From(env).objects.back().get());
}

void InstallEnv(Env& holder) {
    memset(&holder.table, 0, sizeof(holder.table));
    JNINativeInterface_& t = holder.table;
    t.GetStringUTFChars = [](JNIEnv*, jstring str, jboolean*) -> const char* { return Of(str)->text.c_str(); };
    t.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) {};
    t.GetArrayLength = [](JNIEnv*, jarray array) -> jsize {
        Object* object = Of(array);
        return static_cast<jsize>(object->bytes.empty() ? object->ints.size() : object->bytes.size());
    };
    t.GetByteArrayElements = [](JNIEnv*, jbyteArray array, jboolean*) -> jbyte* { return Of(array)->bytes.data(); };
    t.ReleaseByteArrayElements = [](JNIEnv*, jbyteArray, jbyte*, jint) {};
    t.NewIntArray = [](JNIEnv* env, jsize length) -> jintArray {
        Object object;
        object.ints.resize(static_cast<size_t>(length));
        return static_cast<jintArray>(Make(env, std::move(object)));
    };
    t.SetIntArrayRegion = [](JNIEnv*, jintArray array, jsize start, jsize length, const jint* values) {
        std::copy(values, values + length, Of(array)->ints.begin() + start);
    };
    t.FindClass = [](JNIEnv* env, const char* name) -> jclass {
        Object object;
        object.text = name;
        return static_cast<jclass>(Make(env, std::move(object)));
    };
    t.ThrowNew = [](JNIEnv* env, jclass, const char* message) -> jint {
        From(env).bPending = true;
        From(env).message = message;
        return 0;
    };
    t.ExceptionCheck = [](JNIEnv* env) -> jboolean { return From(env).bPending ? JNI_TRUE : JNI_FALSE; };
    t.ExceptionClear = [](JNIEnv* env) { From(env).bPending = false; };
    t.DeleteLocalRef = [](JNIEnv*, jobject) {};
    holder.env.functions = &holder.table;
}

// ---- Jobs ---------------------------------------------------------------------------

constexpr unsigned char kMagic[4] = {0x1b, 'J', 'O', 'B'};
constexpr size_t kHeaderSize = 16;

void PutU32(std::vector<jbyte>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + static_cast<size_t>(i)] = static_cast<jbyte>(value >> (8 * i));
}

uint32_t GetU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The payload byte at index i of job (id, seq): reproducible by the checker.
unsigned char PayloadByte(uint32_t id, uint32_t seq, size_t i) {
    uint32_t x = id * 0x9E3779B9u ^ seq * 0x85EBCA6Bu ^ static_cast<uint32_t>(i) * 0xC2B2AE35u;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return static_cast<unsigned char>(x);
}

std::vector<jbyte> MakeJob(uint32_t id, uint32_t seq, size_t length) {
    std::vector<jbyte> bytes(length);
    memcpy(bytes.data(), kMagic, sizeof(kMagic));
    PutU32(bytes, 4, id);
    PutU32(bytes, 8, seq);
    PutU32(bytes, 12, static_cast<uint32_t>(length));
    for (size_t i = kHeaderSize; i < length; ++i) bytes[i] = static_cast<jbyte>(PayloadByte(id, seq, i));
    return bytes;
}

// ---- Process figures ----------------------------------------------------------------

int CountDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

long ResidentKb() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(statm);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- Driving ------------------------------------------------------------------------

struct Options {
    int nPort = 0;
    int nPorts = 4;
    double dSeconds = 60;
    uint32_t nId = 1;
    unsigned nSeed = 1;
    std::string jobsPath;
};

class Driver {
public:
    explicit Driver(const Options& options) : m_options(options), m_random(options.nSeed) {
        InstallEnv(m_env);
        m_ports.assign(static_cast<size_t>(options.nPorts), -1);
    }

    int Run() {
        FILE* jobs = fopen(m_options.jobsPath.c_str(), "w");
        if (jobs == nullptr) {
            fprintf(stderr, "soak_driver: cannot write %s\n", m_options.jobsPath.c_str());
            return 1;
        }
        const int nFdsStart = CountDescriptors();
        for (size_t i = 0; i < m_ports.size(); ++i) Open(i);
        // The "before" figures are taken after the first tenth of the run, once every path
        // (drops, resets, reconnects, closes) has run: pages first touched then, and what
        // the C library keeps for good, are no growth.
        const auto start = Clock::now();
        const auto warm = start + std::chrono::milliseconds(static_cast<long>(m_options.dSeconds * 100));
        const auto deadline = start + std::chrono::milliseconds(static_cast<long>(m_options.dSeconds * 1000));
        while (Clock::now() < warm) Cycle(jobs);
        const int nFdsBefore = CountDescriptors();
        const long nRssBefore = ResidentKb();
        const auto middle = start + (deadline - start) * 11 / 20;
        while (Clock::now() < middle) Cycle(jobs);
        const long nRssMiddle = ResidentKb();
        while (Clock::now() < deadline) Cycle(jobs);
        const int nFdsAfter = CountDescriptors();
        const long nRssAfter = ResidentKb();
        for (size_t i = 0; i < m_ports.size(); ++i) Close(i);
        const int nFdsClosed = CountDescriptors();
        fclose(jobs);
        printf("RESULT id=%u cycles=%lu jobs_ok=%lu bytes_ok=%lu jobs_failed=%lu reads_ok=%lu reads_failed=%lu "
               "opens_failed=%lu fds_start=%d fds_before=%d fds_after=%d fds_closed=%d rss_before_kb=%ld "
               "rss_middle_kb=%ld rss_after_kb=%ld\n",
               m_options.nId, m_nCycles, m_nJobsOk, m_nBytesOk, m_nJobsFailed, m_nReadsOk, m_nReadsFailed,
               m_nOpensFailed, nFdsStart, nFdsBefore, nFdsAfter, nFdsClosed, nRssBefore, nRssMiddle, nRssAfter);
        return 0;
    }

private:
    JNIEnv* env() { return &m_env.env; }

    jstring String(const std::string& text) {
        Object object;
        object.text = text;
        return static_cast<jstring>(Make(env(), std::move(object)));
    }

    jbyteArray Bytes(std::vector<jbyte> bytes) {
        Object object;
        object.bytes = std::move(bytes);
        return static_cast<jbyteArray>(Make(env(), std::move(object)));
    }

    // True when the call threw; the exception is taken.
    bool Threw() {
        bool bThrew = m_env.bPending;
        m_env.bPending = false;
        return bThrew;
    }

    bool Chance(int nPercent) { return std::uniform_int_distribution<int>(1, 100)(m_random) <= nPercent; }

    void Open(size_t i) {
        jint nId = NATIVE(OpenETHERNETDevice)(env(), nullptr, String("127.0.0.1"), m_options.nPort);
        if (Threw()) {
            ++m_nOpensFailed;
            return;
        }
        m_ports[i] = nId;
        NATIVE(SetTimeoutRX)(env(), nullptr, nId, 300);
        NATIVE(SetTimeoutTX)(env(), nullptr, nId, 1000);
    }

    void Close(size_t i) {
        if (m_ports[i] < 0) return;
        NATIVE(CloseDevice)(env(), nullptr, m_ports[i]);
        m_ports[i] = -1;
    }

    // One cycle: one job on a port picked at random, sometimes a status request and its
    // answer first, now and then a close and a new open of the port.
    void Cycle(FILE* jobs) {
        ++m_nCycles;
        size_t i = std::uniform_int_distribution<size_t>(0, m_ports.size() - 1)(m_random);
        if (m_ports[i] >= 0 && Chance(2)) Close(i);
        if (m_ports[i] < 0) Open(i);
        if (m_ports[i] < 0) return;
        jint nPort = m_ports[i];

        if (Chance(35)) {
            NATIVE(WriteToDevice)(env(), nullptr, nPort, Bytes({0x10, 0x04, 0x01}));
            bool bSent = !Threw();
            jintArray answer = bSent ? NATIVE(ReadFromDevice)(env(), nullptr, nPort, 1) : nullptr;
            (!Threw() && answer != nullptr ? m_nReadsOk : m_nReadsFailed)++;
        }

        size_t nLength = std::uniform_int_distribution<size_t>(kHeaderSize + 48, 6000)(m_random);
        uint32_t nSeq = ++m_nSeq;
        jint nWritten = NATIVE(WriteToDevice)(env(), nullptr, nPort, Bytes(MakeJob(m_options.nId, nSeq, nLength)));
        if (!Threw() && nWritten == static_cast<jint>(nLength)) {
            ++m_nJobsOk;
            m_nBytesOk += nLength;
            fprintf(jobs, "%u %u %zu\n", m_options.nId, nSeq, nLength);
        } else {
            ++m_nJobsFailed;
        }
        m_env.objects.clear();
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(m_random)));
    }

    Options m_options;
    std::mt19937 m_random;
    Env m_env;
    std::vector<jint> m_ports;
    uint32_t m_nSeq = 0;
    unsigned long m_nCycles = 0, m_nJobsOk = 0, m_nBytesOk = 0, m_nJobsFailed = 0;
    unsigned long m_nReadsOk = 0, m_nReadsFailed = 0, m_nOpensFailed = 0;
};

// ---- Verification -------------------------------------------------------------------

// Jobs found whole in the bytes of one connection.
void FindJobs(const std::vector<unsigned char>& bytes, std::set<std::pair<uint32_t, uint32_t>>* pFound) {
    size_t p = 0;
    while (p + kHeaderSize <= bytes.size()) {
        if (memcmp(&bytes[p], kMagic, sizeof(kMagic)) != 0) {
            ++p;
            continue;
        }
        uint32_t id = GetU32(&bytes[p + 4]), seq = GetU32(&bytes[p + 8]), length = GetU32(&bytes[p + 12]);
        bool bWhole = length >= kHeaderSize && p + length <= bytes.size();
        for (size_t i = kHeaderSize; bWhole && i < length; ++i) bWhole = bytes[p + i] == PayloadByte(id, seq, i);
        if (!bWhole) {
            ++p;
            continue;
        }
        pFound->insert({id, seq});
        p += length;
    }
}

int Verify(const std::string& recordDir, const std::vector<std::string>& jobFiles) {
    std::set<std::pair<uint32_t, uint32_t>> found;
    unsigned long nRecorded = 0, nConnections = 0;
    DIR* dir = opendir(recordDir.c_str());
    if (dir == nullptr) {
        fprintf(stderr, "soak_driver: cannot read %s\n", recordDir.c_str());
        return 1;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(recordDir + "/" + entry->d_name, std::ios::binary);
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        nRecorded += bytes.size();
        ++nConnections;
        FindJobs(bytes, &found);
    }
    closedir(dir);

    unsigned long nJobs = 0, nBytes = 0, nLostJobs = 0, nLostBytes = 0;
    for (const std::string& path : jobFiles) {
        std::ifstream in(path);
        uint32_t id, seq;
        unsigned long length;
        while (in >> id >> seq >> length) {
            ++nJobs;
            nBytes += length;
            if (found.count({id, seq}) == 0) {
                ++nLostJobs;
                nLostBytes += length;
            }
        }
    }
    printf("VERIFY jobs_reported=%lu bytes_reported=%lu jobs_lost=%lu bytes_lost=%lu printer_connections=%lu "
           "printer_bytes=%lu\n",
           nJobs, nBytes, nLostJobs, nLostBytes, nConnections, nRecorded);
    return nLostBytes == 0 ? 0 : 3;
}

bool Number(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && *value >= low && *value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    std::string recordDir;
    std::vector<std::string> jobFiles;
    bool bVerify = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        if (option == "--verify") {
            bVerify = true;
        } else if (option == "--record-dir" && value != nullptr) {
            recordDir = argv[++i];
        } else if (option == "--jobs" && value != nullptr) {
            options.jobsPath = argv[++i];
        } else if (option == "--port" && value != nullptr && Number(value, 1, 65535, &number)) {
            options.nPort = static_cast<int>(number);
            ++i;
        } else if (option == "--ports" && value != nullptr && Number(value, 1, 32, &number)) {
            options.nPorts = static_cast<int>(number);
            ++i;
        } else if (option == "--seconds" && value != nullptr && Number(value, 1, 86400, &number)) {
            options.dSeconds = number;
            ++i;
        } else if (option == "--id" && value != nullptr && Number(value, 0, 1e9, &number)) {
            options.nId = static_cast<uint32_t>(number);
            ++i;
        } else if (option == "--seed" && value != nullptr && Number(value, 0, 4e9, &number)) {
            options.nSeed = static_cast<unsigned>(number);
            ++i;
        } else if (bVerify && option[0] != '-') {
            jobFiles.push_back(option);
        } else {
            fprintf(stderr, "soak_driver: bad or incomplete option %s (see the comment at the top of the source)\n",
                    option.c_str());
            return 2;
        }
    }
    if (bVerify) return Verify(recordDir, jobFiles);
    if (options.nPort == 0 || options.jobsPath.empty()) {
        fprintf(stderr, "soak_driver: --port and --jobs are needed\n");
        return 2;
    }
    return Driver(options).Run();
}
