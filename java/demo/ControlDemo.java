import orvik.services.posprinterPortComm.CommonComPort;

/** Loads the library (saying from where), switches its log to standard output and makes a few control calls. */
public final class ControlDemo {
    private ControlDemo() {}

    public static void main(String[] args) {
        CommonComPort port = LoadedLibrary.load("ControlDemo");
        port.SetLogType(1, true);
        port.SetTimeoutRX(0, 2000);
        port.ClearPipeRX(0);
        port.CloseDevice(0);
        System.out.println("Port 0 is not open, so each call logged \"PortID not Available\" and threw nothing.");
    }
}
