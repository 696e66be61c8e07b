package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.Arrays;
import org.junit.jupiter.api.Test;

/** Writing to and reading from network printers from Java, against the virtual printer. */
class EthTransferTest {
    private final CommonComPort port = new CommonComPort();

    @Test
    void writesArriveAndAnswersAreCollectedUntilTheExpectedSize() throws Exception {
        // Silent: status requests the job may hold by chance get no answer.
        try (VirtualPrinter peer = new VirtualPrinter("--silent")) {
            int id = port.OpenETHERNETDevice("127.0.0.1", peer.port());
            try {
                byte[] job = new byte[2500];
                for (int i = 0; i < job.length; i++) job[i] = (byte) (i * 31 + i / 256);
                assertEquals(2500, port.WriteToDevice(id, job));
                assertArrayEquals(job, peer.received(job.length));
                assertEquals(0, port.WriteToDevice(id, new byte[0]));

                // 3 bytes, then 2 more a little later: one answer of 5, bytes as 0..255.
                peer.send(new byte[] {(byte) 0xff, 0x00, (byte) 0x80}, 0);
                peer.send(new byte[] {0x7f, 0x12}, 300);
                assertArrayEquals(new int[] {255, 0, 128, 127, 18}, port.ReadFromDevice(id, 5));

                // Nothing comes: the receive timeout of the connection ends the read.
                Exception silent = assertThrows(Exception.class, () -> port.ReadFromDevice(id, 1));
                assertEquals("EthRead Error", silent.getMessage());

                // More than the answer buffer holds: at most 256 come back.
                byte[] flood = new byte[400];
                Arrays.fill(flood, (byte) 0x41);
                peer.send(flood, 0);
                int[] answer = port.ReadFromDevice(id, 300);
                assertNotNull(answer);
                assertEquals(256, answer.length);
            } finally {
                port.CloseDevice(id);
            }
            assertNull(port.ReadFromDevice(id, 1), "a closed port's ID is empty");
            assertEquals(0, port.WriteToDevice(id, new byte[] {1}));
        }
    }

    @Test
    void writeToAPrinterThatHasGoneThrows() throws Exception {
        int id;
        try (VirtualPrinter peer = new VirtualPrinter("--close-after", "0")) {
            id = port.OpenETHERNETDevice("127.0.0.1", peer.port());
            peer.awaitAccepted();
        }
        // The printer closed the connection and listens no more: the write finds the
        // connection ended, cannot connect again, and throws instead of reporting success.
        try {
            Exception failure = assertThrows(Exception.class, () -> port.WriteToDevice(id, new byte[100]));
            assertEquals(Exception.class, failure.getClass());
            assertEquals("Open Error (Device Error)", failure.getMessage());
        } finally {
            port.CloseDevice(id);
        }
    }
}
