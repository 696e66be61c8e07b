import java.io.BufferedReader;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import orvik.services.posprinterPortComm.CommonComPort;

/**
 * Loads CommonComPort (and with it the library) and tells which file the JVM mapped, as
 * /proc/self/maps shows it: the installed library, a copy from the jar (a file that is gone
 * once loaded shows " (deleted)"), or the one a property named.
 */
final class LoadedLibrary {
    private LoadedLibrary() {}

    /** A new CommonComPort, after printing "PROGRAM: library PATH, loaded in N ms". */
    static CommonComPort load(String program) {
        long started = System.nanoTime();
        CommonComPort port = new CommonComPort();
        long micros = (System.nanoTime() - started) / 1000;
        System.out.printf("%s: library %s, loaded in %d.%d ms%n", program, mappedPath(), micros / 1000, micros / 100 % 10);
        return port;
    }

    static String mappedPath() {
        try (BufferedReader maps = Files.newBufferedReader(Paths.get("/proc/self/maps"), StandardCharsets.US_ASCII)) {
            for (String line; (line = maps.readLine()) != null; ) {
                int path = line.indexOf('/');
                if (path >= 0 && line.substring(line.lastIndexOf('/') + 1).startsWith("libtillportcomm")) {
                    return line.substring(path);
                }
            }
            return "not in /proc/self/maps";
        } catch (IOException e) {
            return "unknown (" + e.getMessage() + ")";
        }
    }
}
