package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** The real library in a real JVM: loading, the log banner and the control methods on empty slots. */
class ControlMethodsTest {
    private static final String PREFIX = "Java_orvik_services_posprinterPortComm_CommonComPort_";
    private static final String STAMP = "\\[\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]";

    private final CommonComPort port = new CommonComPort();

    /** Runs LogProbe in a child JVM (the log goes to the process's own standard output). */
    private static List<String> runProbe(String logType, String flag) throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<String> command = new ArrayList<>();
        command.add(java);
        // The child JVM gets the native access this one was granted: JVMs from 24 on warn on
        // its standard error otherwise, which would mix with the log.
        for (String argument : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            if (argument.startsWith("--enable-native-access")) command.add(argument);
        }
        command.add("-D" + CommonComPort.LIBRARY_PROPERTY + "=" + System.getProperty(CommonComPort.LIBRARY_PROPERTY));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(LogProbe.class.getName());
        command.add(logType);
        command.add(flag);
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.redirectErrorStream(true);
        Process process = builder.start();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (InputStream in = process.getInputStream()) {
            in.transferTo(out);
        }
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new AssertionError("probe did not finish");
        }
        assertEquals(0, process.exitValue(), out.toString(StandardCharsets.UTF_8));
        List<String> lines = new ArrayList<>();
        for (String line : out.toString(StandardCharsets.UTF_8).split("\n")) {
            if (!line.isEmpty()) lines.add(line);
        }
        return lines;
    }

    @Test
    void libraryNameFollowsTheProcessor() {
        assertEquals("tillportcommARM32", CommonComPort.libraryName("arm"));
        assertEquals("tillportcommARM64", CommonComPort.libraryName("aarch64"));
        assertEquals("tillportcommX64", CommonComPort.libraryName("amd64"));
        assertThrows(UnsatisfiedLinkError.class, () -> CommonComPort.libraryName("sparc"));
    }

    @Test
    void logOnStandardOutputShowsBannerAndCloseOfAnEmptySlot() throws Exception {
        List<String> lines = runProbe("1", "true");
        assertEquals(12, lines.size(), String.join("\n", lines));
        String banner = STAMP + "\\[" + PREFIX + "SetLogType\\]";
        assertTrue(lines.get(0).matches(banner + "\\*{41}"), lines.get(0));
        assertTrue(lines.get(1).matches(banner + " {12}SO Version: 2\\.01"), lines.get(1));
        assertTrue(lines.get(2).matches(banner + "\\*{41}"), lines.get(2));
        assertTrue(lines.get(3).matches(STAMP + "\\[" + PREFIX + "CloseDevice\\]"), lines.get(3));
        assertTrue(lines.get(4).matches(STAMP + "\\[" + PREFIX + "CloseDevice\\]PortID not Available"), lines.get(4));
        assertTrue(lines.get(5).endsWith("[" + PREFIX + "ClearPipeTX]Begin"), lines.get(5));
        assertTrue(lines.get(6).endsWith("[" + PREFIX + "ClearPipeTX]Port ID:40"), lines.get(6));
        assertTrue(lines.get(7).endsWith("[" + PREFIX + "ClearPipeTX]PortID not Available"), lines.get(7));
        assertTrue(lines.get(9).endsWith("[" + PREFIX + "SetTimeoutRX]Set RX Timeout: 500"), lines.get(9));
    }

    @Test
    void logTypeZeroOrFlagFalseWritesNothing() throws Exception {
        assertEquals(List.of(), runProbe("0", "true"));
        assertEquals(List.of(), runProbe("1", "false"));
    }

    @Test
    void controlMethodsOnEmptyOrOutOfRangeSlotsDoNothingAndThrowNothing() throws Exception {
        for (int id : new int[] {0, 31, 32, -1, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
            port.CloseDevice(id);
            port.ClearPipeTX(id);
            port.ClearPipeRX(id);
            port.SetTimeoutTX(id, 100);
            port.SetTimeoutRX(id, -1);
        }
    }
}
