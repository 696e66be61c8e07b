import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicLong;
import orvik.services.posprinterPortComm.CommonComPort;

/**
 * Loopback measurements of the TCP path, each beside the same exchange over a plain
 * java.net.Socket to the same peer: (a) a status round trip, 3 bytes out and 1 byte back;
 * (b) a 1 MiB job in one call and in 1 KiB calls; (c) the 1 MiB job with the log on,
 * written to the file TILLPORTCOMM_LOG_FILE names. Not a test: it prints figures.
 */
public final class EthBenchmark {
    private static final byte[] STATUS_REQUEST = {0x10, 0x04, 1};
    private static final int MIB = 1 << 20;
    private static final int KIB = 1 << 10;

    private EthBenchmark() {}

    /** A printer stand-in that answers every 3 bytes with one status byte. */
    private static ServerSocket statusPeer() throws IOException {
        ServerSocket server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        serve(server, socket -> {
            InputStream in = socket.getInputStream();
            OutputStream out = socket.getOutputStream();
            byte[] buffer = new byte[4096];
            long pending = 0;
            for (int n; (n = in.read(buffer)) > 0; ) {
                pending += n;
                for (; pending >= 3; pending -= 3) out.write(0x12);
            }
        });
        return server;
    }

    /** A sink that takes everything and counts it. */
    private static ServerSocket sink(AtomicLong count) throws IOException {
        ServerSocket server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        serve(server, socket -> {
            InputStream in = socket.getInputStream();
            byte[] buffer = new byte[256 * KIB];
            for (int n; (n = in.read(buffer)) > 0; ) count.addAndGet(n);
        });
        return server;
    }

    private interface Connection {
        void serve(Socket socket) throws IOException;
    }

    private static void serve(ServerSocket server, Connection connection) {
        Thread acceptor = new Thread(() -> {
            while (!server.isClosed()) {
                try {
                    Socket socket = server.accept();
                    Thread worker = new Thread(() -> {
                        try (socket) {
                            connection.serve(socket);
                        } catch (IOException e) {
                            // connection ended
                        }
                    });
                    worker.setDaemon(true);
                    worker.start();
                } catch (IOException e) {
                    return;
                }
            }
        });
        acceptor.setDaemon(true);
        acceptor.start();
    }

    private interface Job {
        void run() throws Exception;
    }

    /** Median time of one run of the job, in nanoseconds, over the given runs. */
    private static double median(int runs, Job job) throws Exception {
        long[] times = new long[runs];
        for (int i = 0; i < runs; i++) {
            long start = System.nanoTime();
            job.run();
            times[i] = System.nanoTime() - start;
        }
        Arrays.sort(times);
        return times[runs / 2];
    }

    private static void awaitCount(AtomicLong count, long target) {
        while (count.get() < target) Thread.onSpinWait();
    }

    private static double mibPerSecond(double nanos) {
        return 1e9 / nanos;  // one job is 1 MiB
    }

    public static void main(String[] args) throws Exception {
        int roundTrips = args.length > 0 ? Integer.parseInt(args[0]) : 2000;
        int jobs = args.length > 1 ? Integer.parseInt(args[1]) : 20;
        CommonComPort port = new CommonComPort();
        port.SetLogType(0, false);

        // (a) status round trip.
        ServerSocket status = statusPeer();
        int id = port.OpenETHERNETDevice("127.0.0.1", status.getLocalPort());
        Socket plain = new Socket(InetAddress.getLoopbackAddress(), status.getLocalPort());
        OutputStream plainOut = plain.getOutputStream();
        InputStream plainIn = plain.getInputStream();
        Job nativeTrip = () -> {
            port.WriteToDevice(id, STATUS_REQUEST);
            if (port.ReadFromDevice(id, 1).length != 1) throw new IllegalStateException("no status");
        };
        Job plainTrip = () -> {
            plainOut.write(STATUS_REQUEST);
            if (plainIn.read() < 0) throw new IllegalStateException("no status");
        };
        median(roundTrips, nativeTrip);  // warm-up of both paths
        median(roundTrips, plainTrip);
        double nativeRtt = 0, plainRtt = 0;
        for (int round = 0; round < 3; round++) {  // interleaved, so both see the same machine
            nativeRtt += median(roundTrips, nativeTrip) / 3;
            plainRtt += median(roundTrips, plainTrip) / 3;
        }
        plain.close();
        port.CloseDevice(id);
        status.close();
        System.out.printf("(a) status round trip: library %.1f us, plain socket %.1f us, ratio %.2f%n",
                nativeRtt / 1e3, plainRtt / 1e3, nativeRtt / plainRtt);

        // (b) 1 MiB job.
        AtomicLong count = new AtomicLong();
        ServerSocket sink = sink(count);
        int job = port.OpenETHERNETDevice("127.0.0.1", sink.getLocalPort());
        Socket plainSink = new Socket(InetAddress.getLoopbackAddress(), sink.getLocalPort());
        OutputStream sinkOut = plainSink.getOutputStream();
        byte[] data = new byte[MIB];
        for (int i = 0; i < data.length; i++) data[i] = (byte) (i * 7 + (i >> 10));
        Job nativeOne = () -> {
            long target = count.get() + MIB;
            port.WriteToDevice(job, data);
            awaitCount(count, target);
        };
        Job nativeKib = () -> {
            long target = count.get() + MIB;
            byte[] piece = new byte[KIB];
            for (int off = 0; off < MIB; off += KIB) {
                System.arraycopy(data, off, piece, 0, KIB);
                port.WriteToDevice(job, piece);
            }
            awaitCount(count, target);
        };
        Job plainOne = () -> {
            long target = count.get() + MIB;
            sinkOut.write(data);
            awaitCount(count, target);
        };
        Job plainKib = () -> {
            long target = count.get() + MIB;
            byte[] piece = new byte[KIB];
            for (int off = 0; off < MIB; off += KIB) {
                System.arraycopy(data, off, piece, 0, KIB);
                sinkOut.write(piece);
            }
            awaitCount(count, target);
        };
        for (Job warm : new Job[] {nativeOne, nativeKib, plainOne, plainKib}) median(3, warm);
        double n1 = median(jobs, nativeOne), nk = median(jobs, nativeKib);
        double p1 = median(jobs, plainOne), pk = median(jobs, plainKib);
        System.out.printf("(b) 1 MiB in one call: library %.0f MiB/s, plain socket %.0f MiB/s, ratio %.2f%n",
                mibPerSecond(n1), mibPerSecond(p1), mibPerSecond(n1) / mibPerSecond(p1));
        System.out.printf("    1 MiB in 1 KiB calls: library %.0f MiB/s, plain socket %.0f MiB/s, ratio %.2f%n",
                mibPerSecond(nk), mibPerSecond(pk), mibPerSecond(nk) / mibPerSecond(pk));

        // (c) the same job with the log on, to the file.
        port.SetLogType(2, true);
        double logged = median(Math.max(3, jobs / 5), nativeOne);
        port.SetLogType(0, false);
        System.out.printf("(c) 1 MiB in one call, log on to %s: %.1f MiB/s (%.0f ms per job, %.1fx the log-off time)%n",
                System.getenv().getOrDefault("TILLPORTCOMM_LOG_FILE", "tillportcomm.log"), mibPerSecond(logged),
                logged / 1e6, logged / n1);

        plainSink.close();
        port.CloseDevice(job);
        sink.close();
    }
}
