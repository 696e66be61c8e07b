package orvik.services.posprinterPortComm;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.net.URL;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.CodeSource;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.EnumSet;
import java.util.Map;
import java.util.Set;
import java.util.StringTokenizer;

/**
 * Byte pipe to a receipt printer on USB, an RS-232 line or TCP, through the native
 * library libtillportcomm&lt;TAG&gt;.so (TAG = ARM32, ARM64 or X64 for the running processor).
 *
 * <p>An open method returns a small port ID (0..31) by which every later call names the
 * port. Failures of an open, a write or a read are thrown as {@link Exception} with the
 * port's error text. A port ID with no open port is ignored: the call does nothing and
 * returns 0 or null. Any thread may call: calls on one port run one at a time, each whole,
 * and a close waits for the call in progress on its port.
 */
public class CommonComPort {
    /** System property naming the library file to load instead of the processor's default. */
    public static final String LIBRARY_PROPERTY = "tillportcomm.library";

    static {
        new LibraryLoader(System.getProperty("os.arch", "")).load();
    }

    /** The library's base name for a processor as Java reports it in {@code os.arch}. */
    public static String libraryName(String osArch) {
        return "tillportcomm" + tag(osArch);
    }

    private static String tag(String osArch) {
        switch (osArch) {
            case "arm":
            case "armv7l":
            case "armhf":
            case "aarch32":
                return "ARM32";
            case "aarch64":
            case "arm64":
                return "ARM64";
            case "amd64":
            case "x86_64":
                return "X64";
            default:
                throw new UnsatisfiedLinkError("tillportcomm: no library for processor " + osArch);
        }
    }

    /**
     * Loads the library for the running processor, from the first place that has one: the
     * file named by {@link #LIBRARY_PROPERTY}; else {@code java.library.path} (where the
     * Debian package installs it); else the copy inside this jar, under
     * {@code natives/linux-<processor>/}, beside its SHA-256.
     *
     * <p>The jar's copy is loaded from a folder only this user can reach: {@code
     * ~/.cache/tillportcomm}, made with mode 0700 where it is missing and used only when it is
     * this user's, mode 0700, and no folder above it can be changed by anyone but this user
     * or root. A copy found there is loaded only when its SHA-256 is the jar's; otherwise a
     * new one is written beside it under a name of this process's, checked, and put in place
     * whole: linked where no copy is (so of two JVMs loading at once, the later one keeps
     * the earlier one's file), renamed over a copy that is not the jar's. Without a usable home (a service user's {@code /nonexistent},
     * say), the copy goes into a new folder, made by this process with mode 0700, under
     * {@code java.io.tmpdir}, and file and folder are removed once loaded.
     *
     * <p>When no place works, one {@link UnsatisfiedLinkError} names the processor and
     * every place tried, with the reason each failed.
     */
    private static final class LibraryLoader {
        private static final FileAttribute<Set<PosixFilePermission>> PRIVATE_FOLDER =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
        private static final FileAttribute<Set<PosixFilePermission>> PRIVATE_FILE =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"));

        private final String osArch;
        private final StringBuilder tried = new StringBuilder();

        LibraryLoader(String osArch) {
            this.osArch = osArch;
        }

        void load() {
            String explicit = System.getProperty(LIBRARY_PROPERTY);
            if (explicit != null && !explicit.isEmpty()) {
                try {
                    System.load(explicit);
                    return;
                } catch (UnsatisfiedLinkError e) {
                    failed(LIBRARY_PROPERTY + "=" + explicit, e);
                    throw failure(explicit);
                }
            }
            String name = libraryName(osArch);
            try {
                System.loadLibrary(name);
                return;
            } catch (UnsatisfiedLinkError e) {
                failed("java.library.path (" + System.getProperty("java.library.path") + ")", e);
            }
            loadFromJar(System.mapLibraryName(name));
        }

        private void loadFromJar(String file) {
            String entry = "natives/linux-" + nativesFolder() + "/" + file;
            URL url = CommonComPort.class.getResource("/" + entry);
            String expected;
            try {
                if (url == null) throw new IOException("not in " + codeSource());
                expected = expectedSha256(entry + ".sha256");
            } catch (IOException e) {
                failed("the jar's " + entry, e);
                throw failure(file);
            }
            String copyName = file.substring(0, file.length() - ".so".length()) + "-" + expected.substring(0, 16) + ".so";
            String home = System.getProperty("user.home", "");
            Path cache = Paths.get(home, ".cache", "tillportcomm");
            try {
                if (home.isEmpty() || !Files.isDirectory(Paths.get(home))) {
                    throw new IOException("no home folder (user.home " + home + ")");
                }
                makeFolder(cache.getParent());
                makeFolder(cache);
                cache = cache.toRealPath();
                trustFolder(cache);
                System.load(copyIn(cache, copyName, url, expected).toString());
                return;
            } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
                failed("the jar's " + entry + " in " + cache, e);
            }
            String tmp = System.getProperty("java.io.tmpdir", "/tmp");
            Path folder = null;
            Path copy = null;
            try {
                folder = newPrivateFolder(Paths.get(tmp));
                trustFolder(folder);
                copy = copyIn(folder, copyName, url, expected);
                System.load(copy.toString());
                return;
            } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
                failed("the jar's " + entry + " in a new folder under java.io.tmpdir (" + tmp + ")", e);
            } finally {
                // A loaded library stays mapped once its file is gone; nothing is left behind.
                deleteQuietly(copy);
                deleteQuietly(folder);
            }
            throw failure(file);
        }

        private String nativesFolder() {
            switch (tag(osArch)) {
                case "ARM32": return "arm";
                case "ARM64": return "aarch64";
                default: return "x86_64";
            }
        }

        private static String codeSource() {
            CodeSource source = CommonComPort.class.getProtectionDomain().getCodeSource();
            return source != null && source.getLocation() != null ? source.getLocation().toString() : "the class path";
        }

        /** The SHA-256 in hex at the start of the jar's ENTRY, in the format of sha256sum. */
        private static String expectedSha256(String entry) throws IOException {
            InputStream in = CommonComPort.class.getResourceAsStream("/" + entry);
            if (in == null) throw new IOException(entry + " is not in " + codeSource());
            byte[] text = new byte[64];
            int length = 0;
            try {
                while (length < text.length) {
                    int n = in.read(text, length, text.length - length);
                    if (n <= 0) break;
                    length += n;
                }
            } finally {
                in.close();
            }
            for (int i = 0; i < length; i++) {
                if (Character.digit(text[i], 16) < 0 || Character.isUpperCase(text[i])) length = 0;
            }
            if (length != text.length) throw new IOException(entry + " holds no SHA-256");
            return new String(text, StandardCharsets.US_ASCII);
        }

        /**
         * A new folder "tillportcomm-PID-TIME" in PARENT, made by this process with mode 0700.
         * A folder of that name that someone else made first is never used: mkdir fails on
         * it, and the next name is tried. (No SecureRandom: on a slow core setting one up
         * costs more than the whole load.)
         */
        private static Path newPrivateFolder(Path parent) throws IOException {
            String stem = "tillportcomm-" + processStatus("Pid", 0) + "-";
            for (int attempt = 1; ; attempt++) {
                try {
                    return Files.createDirectory(parent.resolve(stem + Long.toHexString(System.nanoTime())), PRIVATE_FOLDER);
                } catch (FileAlreadyExistsException e) {
                    if (attempt == 8) throw e;
                }
            }
        }

        private static void makeFolder(Path folder) throws IOException {
            try {
                Files.createDirectory(folder, PRIVATE_FOLDER);
            } catch (FileAlreadyExistsException e) {
                // Made before, by this JVM's user or another JVM: checked below.
            }
        }

        /**
         * Fails unless the folder is this user's with no access for anyone else, and every
         * folder above it belongs to this user or root and is writable by no one else (or is
         * sticky, like /tmp), so nobody else can put or swap a file in it.
         */
        private static void trustFolder(Path folder) throws IOException {
            int uid = ownUid();
            Map<String, Object> own = Files.readAttributes(folder, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
            int owner = (Integer) own.get("uid");
            int mode = (Integer) own.get("mode");
            if (owner != uid) throw new IOException(folder + " is owned by uid " + owner + ", not by this user (uid " + uid + ")");
            if ((mode & 0777) != 0700) throw new IOException(folder + " has mode " + octal(mode) + ", not 0700");
            for (Path above = folder.getParent(); above != null; above = above.getParent()) {
                Map<String, Object> attributes = Files.readAttributes(above, "unix:uid,mode");
                owner = (Integer) attributes.get("uid");
                mode = (Integer) attributes.get("mode");
                if (owner != uid && owner != 0) {
                    throw new IOException(above + " is owned by uid " + owner + ", neither this user nor root");
                }
                if ((mode & 0022) != 0 && (mode & 01000) == 0) {
                    throw new IOException(above + " is writable by others (mode " + octal(mode) + ")");
                }
            }
        }

        /** The effective user ID. */
        private static int ownUid() throws IOException {
            return Integer.parseInt(processStatus("Uid", 1));
        }

        /**
         * Field INDEX (from 0) of line NAME of /proc/self/status ("Pid: 4242", "Uid: real
         * effective saved filesystem").
         */
        private static String processStatus(String name, int index) throws IOException {
            String status = "\n" + new String(Files.readAllBytes(Paths.get("/proc/self/status")), StandardCharsets.US_ASCII);
            int start = status.indexOf("\n" + name + ":");
            if (start < 0) throw new IOException("no " + name + " in /proc/self/status");
            start += name.length() + 2;
            int end = status.indexOf('\n', start);
            StringTokenizer fields = new StringTokenizer(status.substring(start, end < 0 ? status.length() : end));
            for (int i = 0; i < index; i++) fields.nextToken();
            return fields.nextToken();
        }

        /**
         * The jar's library as NAME in FOLDER: a copy already there whose SHA-256 is the
         * jar's, or else a new copy, written to a file of its own, checked, and renamed over
         * NAME in one step.
         */
        private static Path copyIn(Path folder, String name, URL url, String expected) throws IOException {
            Path copy = folder.resolve(name);
            if (Files.isRegularFile(copy, LinkOption.NOFOLLOW_LINKS) && expected.equals(sha256(copy))) return copy;
            // Missing, or not the jar's (changed, cut short, unreadable): replaced as a whole.
            // Named after this process and the time, in a folder nobody else can write to:
            // unique without the cost of setting up a SecureRandom.
            Path temporary = folder.resolve("." + name + "-" + processStatus("Pid", 0) + "-"
                                            + Long.toHexString(System.nanoTime()) + ".tmp");
            try {
                Sha256 digest = new Sha256();
                try (InputStream in = url.openStream();
                     FileChannel out = FileChannel.open(temporary, EnumSet.of(StandardOpenOption.CREATE_NEW,
                                                        StandardOpenOption.WRITE), PRIVATE_FILE)) {
                    byte[] buffer = new byte[65536];
                    for (int n; (n = in.read(buffer)) > 0; ) {
                        digest.update(buffer, 0, n);
                        ByteBuffer chunk = ByteBuffer.wrap(buffer, 0, n);
                        while (chunk.hasRemaining()) out.write(chunk);
                    }
                    out.force(true);
                }
                String written = digest.hex();
                if (!written.equals(expected)) {
                    throw new IOException("the jar's library has SHA-256 " + written + ", not " + expected);
                }
                Files.setPosixFilePermissions(temporary, PosixFilePermissions.fromString("r-x------"));
                publish(temporary, copy, expected);
            } finally {
                deleteQuietly(temporary);
            }
            return copy;
        }

        /**
         * Gives the whole file TEMPORARY the name COPY. A link publishes it only where COPY
         * is missing, so a JVM that loaded a copy another JVM made at the same time keeps
         * its file; a COPY that is not the jar's is replaced in one rename.
         */
        private static void publish(Path temporary, Path copy, String expected) throws IOException {
            try {
                Files.createLink(copy, temporary);
                return;
            } catch (FileAlreadyExistsException e) {
                if (expected.equals(sha256(copy))) return;
            } catch (IOException | UnsupportedOperationException e) {
                // A file system without hard links: the rename alone.
            }
            Files.move(temporary, copy, StandardCopyOption.ATOMIC_MOVE);
        }

        /** The file's SHA-256, or "" when it cannot be read. */
        private static String sha256(Path file) {
            Sha256 digest = new Sha256();
            try (InputStream in = Files.newInputStream(file)) {
                byte[] buffer = new byte[65536];
                for (int n; (n = in.read(buffer)) > 0; ) digest.update(buffer, 0, n);
            } catch (IOException e) {
                return "";
            }
            return digest.hex();
        }

        private static String octal(int mode) {
            return "0" + Integer.toOctalString(mode & 07777);
        }

        private static void deleteQuietly(Path path) {
            if (path == null) return;
            try {
                Files.deleteIfExists(path);
            } catch (IOException e) {
                // Left behind: nothing else depends on it.
            }
        }

        private void failed(String place, Throwable why) {
            String reason = why.getMessage();
            if (!(why instanceof UnsatisfiedLinkError) || reason == null) {
                reason = why.getClass().getSimpleName() + (reason != null ? ": " + reason : "");
            }
            tried.append("\n  ").append(place).append(": ").append(reason);
        }

        private UnsatisfiedLinkError failure(String file) {
            return new UnsatisfiedLinkError("tillportcomm: cannot load " + file + " for processor " + osArch
                                            + " (os.arch); tried:" + tried);
        }
    }

    /** SHA-256 in lower-case hex, through the JVM's own MessageDigest. */
    private static final class Sha256 {
        private final MessageDigest digest;

        Sha256() {
            try {
                digest = MessageDigest.getInstance("SHA-256");
            } catch (NoSuchAlgorithmException e) {
                // Every Java platform has SHA-256.
                throw new IllegalStateException(e);
            }
        }

        void update(byte[] data, int offset, int count) {
            digest.update(data, offset, count);
        }

        /** The digest of everything given to update; ends this hash. */
        String hex() {
            StringBuilder text = new StringBuilder(64);
            for (byte b : digest.digest()) text.append(Character.forDigit((b >> 4) & 0xf, 16)).append(Character.forDigit(b & 0xf, 16));
            return text.toString();
        }
    }

    /** Log destination: 0 off, 1 standard output, 2 the file named by TILLPORTCOMM_LOG_FILE. */
    public native void SetLogType(int logType, boolean flag);

    /** Closes the port and frees its ID. */
    public native void CloseDevice(int portId);

    /** Discards output not yet sent (serial lines only). */
    public native void ClearPipeTX(int portId);

    /** Discards input received but not yet read (serial lines only). */
    public native void ClearPipeRX(int portId);

    /** Transmit timeout in milliseconds. */
    public native void SetTimeoutTX(int portId, int timeoutMs);

    /** Receive timeout in milliseconds; bounds {@link #ReadFromDevice}. */
    public native void SetTimeoutRX(int portId, int timeoutMs);

    /** Writes all bytes; returns their count, throws when fewer went out. */
    public native int WriteToDevice(int portId, byte[] data) throws Exception;

    /**
     * Collects the printer's answer until {@code expected} bytes arrived or the receive
     * timeout elapsed; each element is one byte, 0..255. Throws when nothing arrived.
     */
    public native int[] ReadFromDevice(int portId, int expected) throws Exception;

    /** Connects to a printer over TCP (IPv4); returns the port ID. */
    public native int OpenETHERNETDevice(String host, int tcpPort) throws Exception;

    /** Finds the USB printer by product ID (4 hex digits) and serial-number digit. */
    public native int OpenUSBDevice(String productId, String address) throws Exception;

    /** Opens COM1..COM9 or /dev/ttyS0../dev/ttyS8 at a baud rate with flow control 0, 1 or 2. */
    public native int OpenRS232Device(String portName, int baudrate, int flowControl) throws Exception;
}
