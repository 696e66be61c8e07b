package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;

/** The real library in a real JVM, on emulated USB printers of product ID 0A1F. */
class UsbPrinterTest {
    private static final int PRODUCT = 0x0A1F;

    private final CommonComPort port = new CommonComPort();

    private static byte[] pattern(int length) {
        byte[] bytes = new byte[length];
        for (int i = 0; i < length; ++i) bytes[i] = (byte) (i * 7 + i / 251);
        return bytes;
    }

    @Test
    void opensTheChosenPrinterWritesInChunksReadsItsAnswerAndReleasesItOnClose() throws Exception {
        try (UsbTestbed bed = new UsbTestbed()) {
            int first = bed.add(PRODUCT, "PRN-1");
            int second = bed.add(PRODUCT, "PRN-2");

            int id = port.OpenUSBDevice("0a1f", "2");
            assertEquals(0, id);
            assertEquals(2500, port.WriteToDevice(id, pattern(2500)));
            assertArrayEquals(new int[] {1000, 1000, 500}, bed.outLengths(second));
            assertArrayEquals(pattern(2500), bed.received(second));
            assertArrayEquals(new int[0], bed.outLengths(first));

            bed.queueAnswer(second, new byte[] {0x10, (byte) 0xff});
            assertArrayEquals(new int[] {0x10, 0xff}, port.ReadFromDevice(id, 2));

            port.CloseDevice(id);
            assertEquals(1, bed.releases(second));
            assertEquals(0, bed.claims(first));
        }
    }

    @Test
    void openFailuresThrowTheTransportText() throws Exception {
        try (UsbTestbed bed = new UsbTestbed()) {
            int printer = bed.add(PRODUCT, "PRN-1");
            Exception none = assertThrows(Exception.class, () -> port.OpenUSBDevice("0A1F", "3"));
            assertEquals("", none.getMessage());

            bed.setClaimFails(printer, true);
            Exception claim = assertThrows(Exception.class, () -> port.OpenUSBDevice("0A1F", "1"));
            assertEquals("libusb_claim_interface error", claim.getMessage());
        }
    }

    @Test
    void failedTransfersThrowAndTheNextWriteFindsThePrinterAgain() throws Exception {
        try (UsbTestbed bed = new UsbTestbed()) {
            int printer = bed.add(PRODUCT, "PRN-1");
            int id = port.OpenUSBDevice("0A1F", "1");
            try {
                bed.failNextTransfer(printer);
                Exception failed = assertThrows(Exception.class, () -> port.WriteToDevice(id, pattern(10)));
                assertEquals("Write Error", failed.getMessage());

                bed.unplug(printer);
                Exception gone = assertThrows(Exception.class, () -> port.WriteToDevice(id, pattern(10)));
                assertEquals("Write Error---> error to reinit device", gone.getMessage());

                bed.plugBack(printer);
                assertEquals(10, port.WriteToDevice(id, pattern(10)));
                assertEquals(2, bed.claims(printer));

                port.SetTimeoutRX(id, 150);
                Exception silent = assertThrows(Exception.class, () -> port.ReadFromDevice(id, 4));
                assertEquals("Read timeout! No data read", silent.getMessage());
                assertEquals(3, port.WriteToDevice(id, pattern(3)));
            } finally {
                port.CloseDevice(id);
            }
        }
    }
}
