package orvik.services.posprinterPortComm;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

/**
 * A printer stand-in for the JVM tests: listens on 127.0.0.1, accepts one connection and
 * records what arrives on a thread of its own; the test answers through {@link #send}.
 */
final class JavaPeer implements AutoCloseable {
    private final ServerSocket server;
    private final CompletableFuture<Socket> accepted = new CompletableFuture<>();
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private final Thread thread;

    private final boolean answerStatus;

    /** closeAtOnce: the peer closes the connection as soon as it has accepted it. */
    JavaPeer(boolean closeAtOnce) throws IOException {
        this(closeAtOnce, false);
    }

    /** answerStatus: the peer answers every status request DLE EOT n with 0x12, as a printer. */
    JavaPeer(boolean closeAtOnce, boolean answerStatus) throws IOException {
        this.answerStatus = answerStatus;
        server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        thread = new Thread(() -> serve(closeAtOnce), "java-peer");
        thread.setDaemon(true);
        thread.start();
    }

    int port() {
        return server.getLocalPort();
    }

    private void serve(boolean closeAtOnce) {
        try (Socket socket = server.accept()) {
            accepted.complete(socket);
            if (closeAtOnce) return;
            InputStream in = socket.getInputStream();
            byte[] buffer = new byte[4096];
            int statusState = 0;  // bytes of DLE EOT seen so far
            for (int n; (n = in.read(buffer)) > 0; ) {
                synchronized (received) {
                    received.write(buffer, 0, n);
                    received.notifyAll();
                }
                for (int i = 0; i < n && answerStatus; i++) {
                    int b = buffer[i] & 0xff;
                    if (statusState == 2 && b >= 1 && b <= 4) socket.getOutputStream().write(0x12);
                    statusState = b == 0x10 ? 1 : (statusState == 1 && b == 0x04 ? 2 : 0);
                }
            }
        } catch (IOException e) {
            accepted.completeExceptionally(e);
        }
    }

    /** Sends bytes to the library, after a pause, from a short-lived thread. */
    void send(byte[] bytes, long delayMs) throws Exception {
        Socket socket = accepted.get(5, TimeUnit.SECONDS);
        Thread sender = new Thread(() -> {
            try {
                Thread.sleep(delayMs);
                socket.getOutputStream().write(bytes);
                socket.getOutputStream().flush();
            } catch (Exception e) {
                // the test sees the missing bytes
            }
        });
        sender.start();
        if (delayMs == 0) sender.join(5000);
    }

    /** The bytes received so far, after waiting up to 5 s for at least count of them. */
    byte[] received(int count) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        synchronized (received) {
            while (received.size() < count && System.nanoTime() < deadline) received.wait(50);
            return received.toByteArray();
        }
    }

    void awaitAccepted() throws Exception {
        accepted.get(5, TimeUnit.SECONDS);
    }

    @Override
    public void close() throws IOException {
        server.close();
        if (accepted.isDone() && !accepted.isCompletedExceptionally()) accepted.getNow(null).close();
        try {
            thread.join(5000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A loopback address nobody listens on while the returned socket stays bound. */
    static Socket refusingPort() throws IOException {
        Socket bound = new Socket();
        bound.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
        return bound;
    }
}
