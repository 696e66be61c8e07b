package orvik.services.posprinterPortComm;

/** Child-process program for the JVM tests: switches the log to standard output and makes control calls. */
public final class LogProbe {
    private LogProbe() {}

    public static void main(String[] args) {
        CommonComPort port = new CommonComPort();
        port.SetLogType(Integer.parseInt(args[0]), Boolean.parseBoolean(args[1]));
        port.CloseDevice(7);
        port.ClearPipeTX(40);
        port.SetTimeoutRX(-1, 500);
    }
}
