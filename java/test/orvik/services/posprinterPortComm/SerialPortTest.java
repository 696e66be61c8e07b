package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The real library in a real JVM on emulated serial lines: a print job and the exceptions Java sees. */
class SerialPortTest {
    private final CommonComPort port = new CommonComPort();
    private SerialTestbed bed;

    @BeforeEach
    void createLines() {
        bed = new SerialTestbed();
        bed.addLine(0);
    }

    @AfterEach
    void removeLines() {
        bed.close();
    }

    private static byte[] receipt(int length) {
        byte[] data = new byte[length];
        for (int i = 0; i < length; i++) data[i] = (byte) (i * 13 + 1);
        return data;
    }

    @Test
    void printJobOnCom1At9600WithoutFlowControl() throws Exception {
        int id = port.OpenRS232Device("COM1", 9600, 0);
        try {
            assertEquals(0, id);
            int[] settings = bed.settings(0);
            assertEquals(0, settings[0], "c_iflag");
            assertEquals(0x8BD, settings[2], "c_cflag");
            assertEquals(0, settings[3], "c_lflag");

            byte[] data = receipt(1500);
            assertEquals(1500, port.WriteToDevice(id, data));
            assertArrayEquals(data, bed.receive(0, 1500, 3000));

            bed.send(0, new byte[] {0x12, (byte) 0xFF, 0x00});
            assertArrayEquals(new int[] {0x12, 0xFF, 0x00}, port.ReadFromDevice(id, 3));

            // A stale answer is discarded; the next read then finds nothing.
            bed.send(0, new byte[] {0x55});
            Thread.sleep(50);
            port.ClearPipeRX(id);
            port.ClearPipeTX(id);
            port.SetTimeoutRX(id, 200);
            long start = System.nanoTime();
            Exception timeout = assertThrows(Exception.class, () -> port.ReadFromDevice(id, 1));
            assertEquals("Read select() timeout! No data read", timeout.getMessage());
            assertTrue(System.nanoTime() - start >= 190_000_000L);
        } finally {
            port.CloseDevice(id);
        }
        // The slot is free again: the next open gets the same ID, and the closed one is gone.
        assertNull(port.ReadFromDevice(id + 1, 1));
        int again = port.OpenRS232Device("/dev/ttyS0", 115200, 1);
        try {
            assertEquals(id, again);
            assertEquals(0x800018B2, bed.settings(0)[2]);
        } finally {
            port.CloseDevice(again);
        }
    }

    @Test
    void rejectedOpensThrowTheTransportsTextAndTakeNoPortId() throws Exception {
        Object[][] cases = {
            {"COM1", 600, 0, "Error invalid Baudrate"},
            {"COM1", 0, 5, "Error invalid Baudrate"},
            {"COM1", 9600, 3, "Error invalid Flow control"},
            {"COM10", 9600, 0, "Init COM Port error"},
            {"/dev/ttyUSB0", 9600, 0, "Init COM Port error"},
            {"", 9600, 0, "Init COM Port error"},
        };
        for (Object[] c : cases) {
            Exception e = assertThrows(Exception.class,
                    () -> port.OpenRS232Device((String) c[0], (Integer) c[1], (Integer) c[2]));
            assertEquals(c[3], e.getMessage(), (String) c[0]);
            assertEquals(Exception.class, e.getClass());
        }

        int missing = bed.missingIndex();
        assertTrue(missing >= 0, "every /dev/ttyS0..8 exists on this machine");
        Exception e = assertThrows(Exception.class, () -> port.OpenRS232Device("COM" + (missing + 1), 9600, 0));
        assertEquals("Open RS232 Device Error", e.getMessage());

        // None of the failures took a slot.
        int id = port.OpenRS232Device("COM1", 9600, 0);
        port.CloseDevice(id);
        assertEquals(0, id);
    }
}
