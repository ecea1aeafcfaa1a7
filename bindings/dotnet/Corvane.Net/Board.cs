// A board, its messages as events and as queues, and the one callback the library calls.
using System;
using System.Collections.Generic;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;

namespace Corvane
{
    /// <summary>One board, open until it is disposed. Events are raised on the library's threads
    /// (data on its write thread, triggers on its read thread, so two may overlap); an exception
    /// in a handler is caught and counted in <see cref="CallbackErrors"/>. Once
    /// <see cref="Close"/> returns no handler of the board runs any more, but one that called it.</summary>
    public sealed class Board : IDisposable
    {
        private const int MaxAddress = 7;
        private const int MaxByte = 255;
        private static readonly EventHandler<MessageEventArgs>[] NoHandlers = new EventHandler<MessageEventArgs>[0];
        private static readonly MessageQueue[] NoQueues = new MessageQueue[0];

        private readonly Library library;
        private readonly BoardInfo info;
        private readonly Receiver receiver;
        private readonly object handlersLock = new object();
        private EventHandler<MessageEventArgs>[] handlers = NoHandlers; // replaced whole, read by the library's threads
        private MessageQueue[] queues = NoQueues;                       // likewise
        private bool open = true;                                      // under Library.ProcessLock
        private IntPtr show = IntPtr.Zero;                             // the running light show's steps
        private long callbackErrors;
        private Exception lastCallbackError;

        internal Board(Library library, BoardInfo info, EventHandler<MessageEventArgs> onMessage)
        {
            this.library = library;
            this.info = info;
            if (onMessage != null)
            {
                handlers = new[] { onMessage };
            }
            receiver = Receiver.Slots[info.Index];
            receiver.Activate(this);
        }

        // Caller holds Library.ProcessLock. The board gives up its record (closed, or its open
        // failed): from here its handlers are called no more (one already running ends on its
        // own), and with the library open the record loses its callback. The library keeps a
        // closed board's callback and still delivers the messages it had queued: without it they
        // are consumed without a call, so no library thread enters the runtime for this board any
        // more (nor while it shuts down).
        internal void Retire()
        {
            open = false;
            receiver.Deactivate();
            if (library.IsOpenLocked && Native.SelectActiveDeviceByIndex(info.Index) != 0)
            {
                Native.RegisterReadCallback(null);
            }
        }

        public int Index { get { return info.Index; } }
        public string Serial { get { return info.Serial; } }
        public string Name { get { return info.Name; } }

        public bool IsOpen
        {
            get
            {
                lock (Library.ProcessLock)
                {
                    return open && library.IsOpenLocked;
                }
            }
        }

        /// <summary>Every message of the board, on the library's threads.</summary>
        public event EventHandler<MessageEventArgs> MessageReceived
        {
            add
            {
                lock (handlersLock)
                {
                    var more = new List<EventHandler<MessageEventArgs>>(handlers) { value };
                    Volatile.Write(ref handlers, more.ToArray());
                }
            }
            remove
            {
                lock (handlersLock)
                {
                    var fewer = new List<EventHandler<MessageEventArgs>>(handlers);
                    fewer.Remove(value);
                    Volatile.Write(ref handlers, fewer.ToArray());
                }
            }
        }

        /// <summary>Exceptions thrown by this board's event handlers, and the last of them.</summary>
        public long CallbackErrors { get { return Interlocked.Read(ref callbackErrors); } }
        public Exception LastCallbackError { get { return Volatile.Read(ref lastCallbackError); } }

        /// <summary>A queue of the board's messages from now on (of one channel, or all). Bounded:
        /// once <paramref name="capacity"/> wait, new ones are dropped and counted.</summary>
        public MessageQueue Messages(int capacity = 10000, int? channel = null)
        {
            if (capacity < 1)
            {
                throw new ArgumentOutOfRangeException("capacity", "capacity " + capacity + " is below 1");
            }
            if (channel.HasValue)
            {
                CheckRange("channel", channel.Value, MaxAddress);
            }
            lock (Library.ProcessLock)
            {
                CheckOpen();
                var queue = new MessageQueue(this, capacity, channel);
                lock (handlersLock)
                {
                    var more = new List<MessageQueue>(queues) { queue };
                    Volatile.Write(ref queues, more.ToArray());
                }
                return queue;
            }
        }

        internal void Remove(MessageQueue queue)
        {
            lock (handlersLock)
            {
                var fewer = new List<MessageQueue>(queues);
                fewer.Remove(queue);
                Volatile.Write(ref queues, fewer.ToArray());
            }
        }

        /// <summary>Makes this board the library's active board (every operation does it anyway).</summary>
        public void Select()
        {
            lock (Library.ProcessLock)
            {
                SelectLocked();
            }
        }

        public void SendTrigger(int value)
        {
            CheckRange("trigger value", value, MaxByte);
            OnActive(() => Native.SendTrigger((byte)value));
        }

        public void SendByte(int address, int value)
        {
            CheckRange("address", address, MaxAddress);
            CheckRange("byte", value, MaxByte);
            OnActive(() => Native.SendByte((uint)address, (byte)value));
        }

        /// <summary>A block of 1 byte or more (the library sends more than 255 as consecutive blocks).</summary>
        public void SendBlock(int address, byte[] data)
        {
            CheckRange("address", address, MaxAddress);
            if (data == null)
            {
                throw new ArgumentNullException("data", "the block is null");
            }
            if (data.Length == 0)
            {
                throw new ArgumentException("the block is empty");
            }
            OnActive(() => Native.SendBlock((uint)address, data, (uint)data.Length));
        }

        /// <summary>The five-message control sequence. The library does not report its writes' failures.</summary>
        public void SendControl(int address, int value)
        {
            CheckRange("address", address, MaxAddress);
            CheckRange("control value", value, MaxByte);
            OnActive(() => Native.SendTransferControlByte((byte)address, (byte)value));
        }

        /// <summary>Starts a light show, played by the library's thread; returns at once. Steps 1 to
        /// 4 light one LED each, 0 sends the control pair, 5 to 255 a random LED.</summary>
        public void Blink(int[] steps, int delayMs = 100, int repeats = 1)
        {
            if (steps == null)
            {
                throw new ArgumentNullException("steps", "the steps are null");
            }
            foreach (int step in steps)
            {
                CheckRange("step", step, MaxByte);
            }
            if (delayMs < 0)
            {
                throw new ArgumentOutOfRangeException("delayMs", "delayMs " + delayMs + " is below 0");
            }
            if (repeats < 0)
            {
                throw new ArgumentOutOfRangeException("repeats", "repeats " + repeats + " is below 0");
            }
            lock (Library.ProcessLock)
            {
                SelectLocked();
                // The show reads its steps while it plays: they stay until the next show or the
                // close, both of which stop a running show before they return.
                IntPtr sequence = Marshal.AllocHGlobal(Math.Max(steps.Length, 1));
                for (int i = 0; i < steps.Length; ++i)
                {
                    Marshal.WriteByte(sequence, i, (byte)steps[i]);
                }
                if (Native.LEDBlinky((uint)delayMs, repeats, sequence, steps.Length) == 0)
                {
                    Marshal.FreeHGlobal(sequence);
                    throw new CorvaneException(Library.LastErrorText());
                }
                FreeShow();
                show = sequence;
            }
        }

        /// <summary>The library's self test (100000 cycles). It holds the process's lock until done.</summary>
        public void SelfTest()
        {
            OnActive(() => Native.PerformSelfTest());
        }

        /// <summary>Closes the board; a running light show ends first. Closing twice does nothing.</summary>
        public void Close()
        {
            int closed = 1;
            string reason = null;
            lock (Library.ProcessLock)
            {
                if (!open)
                {
                    return;
                }
                Retire();
                if (library.IsOpenLocked)
                {
                    closed = Native.CloseDeviceByIndex(info.Index);
                    reason = closed == 0 ? Library.LastErrorText() : null;
                }
                FreeShow();
                library.Forget(this);
            }
            // Outside the lock: a handler being waited for may be sending, which takes it.
            receiver.WaitForDeliveries();
            foreach (var queue in Volatile.Read(ref queues))
            {
                queue.End();
            }
            if (closed == 0)
            {
                throw new CorvaneException(reason);
            }
        }

        public void Dispose() { Close(); }

        public override string ToString()
        {
            return string.Format("Board {0} {1} \"{2}\"{3}", Index, Serial, Name, IsOpen ? "" : " closed");
        }

        // On a library thread, for a message of this board.
        internal void Dispatch(int channel, uint command, uint length, IntPtr data, uint dataLength)
        {
            var listeners = Volatile.Read(ref handlers);
            var waiting = Volatile.Read(ref queues);
            if (listeners.Length == 0 && waiting.Length == 0)
            {
                return;
            }
            MessageKind kind = Message.KindOf(command);
            byte[] bytes;
            byte value;
            if (kind == MessageKind.Trigger)
            {
                bytes = EmptyBytes;
                value = (byte)length;
            }
            else
            {
                bytes = new byte[data == IntPtr.Zero ? 0 : dataLength];
                if (bytes.Length != 0)
                {
                    Marshal.Copy(data, bytes, 0, bytes.Length);
                }
                value = kind == MessageKind.Byte && bytes.Length != 0 ? bytes[0] : (byte)0;
            }
            var message = new Message(info.Index, channel, kind, (byte)command, value, bytes);
            if (listeners.Length != 0)
            {
                var arguments = new MessageEventArgs(message);
                foreach (var handler in listeners)
                {
                    try
                    {
                        handler(this, arguments);
                    }
                    catch (Exception error)
                    {
                        Interlocked.Increment(ref callbackErrors);
                        Volatile.Write(ref lastCallbackError, error);
                    }
                }
            }
            foreach (var queue in waiting)
            {
                queue.Offer(message);
            }
        }

        private static readonly byte[] EmptyBytes = new byte[0];

        private void FreeShow()
        {
            if (show != IntPtr.Zero)
            {
                Marshal.FreeHGlobal(show);
                show = IntPtr.Zero;
            }
        }

        private void CheckOpen()
        {
            library.CheckOpen();
            if (!open)
            {
                throw new BoardClosedException(string.Format("board {0} ({1}) is closed", info.Index, info.Serial));
            }
        }

        // Caller holds Library.ProcessLock.
        private void SelectLocked()
        {
            CheckOpen();
            if (Native.SelectActiveDeviceByIndex(info.Index) == 0)
            {
                throw new CorvaneException(Library.LastErrorText());
            }
        }

        private void OnActive(Func<int> call)
        {
            lock (Library.ProcessLock)
            {
                SelectLocked();
                if (call() == 0)
                {
                    throw new CorvaneException(Library.LastErrorText());
                }
            }
        }

        private static void CheckRange(string what, int value, int highest)
        {
            if (value < 0 || value > highest)
            {
                throw new ArgumentOutOfRangeException(what, string.Format("{0} {1} is outside 0 to {2}", what, value, highest));
            }
        }
    }

    // The receiving side of one device record, kept for the life of the process: the library's
    // threads may call the trampoline for a record at any moment, also after its Board is gone.
    internal sealed class Receiver
    {
        private const int Records = 256;

        internal static readonly Receiver[] Slots = MakeSlots();

        // The one delegate the library ever calls, held here for the life of the process, so the
        // collector never frees what the library still points to.
        internal static readonly ReadCallback Trampoline = Deliver;

        [ThreadStatic] private static Receiver delivering;
        [ThreadStatic] private static bool marked;

        private int inFlight; // library threads inside Deliver for this record
        private int active;   // 1 while a Board owns the record
        private Board owner;

        private static Receiver[] MakeSlots()
        {
            var slots = new Receiver[Records];
            for (int i = 0; i < slots.Length; ++i)
            {
                slots[i] = new Receiver();
            }
            return slots;
        }

        // Caller holds Library.ProcessLock.
        internal void Activate(Board board)
        {
            Volatile.Write(ref owner, board);
            Interlocked.Exchange(ref active, 1);
        }

        // Caller holds Library.ProcessLock. A full fence, as Deliver's count is: either the close
        // waits for a delivery, or the delivery sees the record inactive.
        internal void Deactivate()
        {
            Interlocked.Exchange(ref active, 0);
            Volatile.Write(ref owner, null);
        }

        // Waits until no library thread runs a handler of this record, but for this thread's own.
        internal void WaitForDeliveries()
        {
            int own = delivering == this ? 1 : 0;
            while (Volatile.Read(ref inFlight) > own)
            {
                Thread.Yield();
            }
        }

        private static int Deliver(int index, int channel, uint command, uint length, IntPtr data, uint dataLength)
        {
            try
            {
                if (index < 0 || index >= Records)
                {
                    return 0;
                }
                if (!marked)
                {
                    // The runtime took in the library's thread at its first call; it must not wait
                    // for it when the process ends, as the thread never ends.
                    marked = true;
                    Thread.CurrentThread.IsBackground = true;
                    MonoRuntime.LeaveUnmanaged();
                }
                Receiver receiver = Slots[index];
                Interlocked.Increment(ref receiver.inFlight);
                Receiver outer = delivering;
                delivering = receiver;
                try
                {
                    Board board = Volatile.Read(ref receiver.active) != 0 ? Volatile.Read(ref receiver.owner) : null;
                    if (board != null)
                    {
                        board.Dispatch(channel, command, length, data, dataLength);
                    }
                }
                finally
                {
                    delivering = outer;
                    Interlocked.Decrement(ref receiver.inFlight);
                }
            }
            catch (Exception)
            {
                // Nothing may cross into the library's thread.
            }
            return 0;
        }
    }

    // Mono waits at the end of the process until every thread that ever ran managed code has
    // ended, and the library's threads never end: a thread the runtime took in through a callback
    // gets the runtime's own mark for threads it must neither wait for nor abort (the "don't
    // manage" flag of its internal thread). Other runtimes do not wait for such threads.
    internal static class MonoRuntime
    {
        private const long DoNotManage = 1;
        private static readonly FieldInfo InternalThread =
            Type.GetType("Mono.Runtime") == null ? null
                : typeof(Thread).GetField("internal_thread", BindingFlags.NonPublic | BindingFlags.Instance);

        internal static void LeaveUnmanaged()
        {
            if (InternalThread == null)
            {
                return;
            }
            try
            {
                object thread = InternalThread.GetValue(Thread.CurrentThread);
                FieldInfo flags = thread.GetType().GetField("flags", BindingFlags.NonPublic | BindingFlags.Instance);
                long value = ((IntPtr)flags.GetValue(thread)).ToInt64();
                flags.SetValue(thread, new IntPtr(value | DoNotManage));
            }
            catch (Exception)
            {
                // Another Mono: the process then waits at its end as before.
            }
        }
    }

    /// <summary>Messages of one board queued by the library's threads. Bounded: when full, new
    /// messages are dropped and counted in <see cref="Dropped"/>.</summary>
    public sealed class MessageQueue : IDisposable
    {
        private readonly Board board;
        private readonly int capacity;
        private readonly int? channel;
        private readonly Queue<Message> queue = new Queue<Message>();
        private long dropped;
        private long received;
        private bool ended;

        internal MessageQueue(Board board, int capacity, int? channel)
        {
            this.board = board;
            this.capacity = capacity;
            this.channel = channel;
        }

        public int Capacity { get { return capacity; } }
        public long Dropped { get { return Interlocked.Read(ref dropped); } }
        public long Received { get { return Interlocked.Read(ref received); } }

        public int Count
        {
            get
            {
                lock (queue)
                {
                    return queue.Count;
                }
            }
        }

        /// <summary>The next message, or null once <paramref name="timeout"/> passed without one
        /// (or the queue ended and is empty).</summary>
        public Message Take(TimeSpan timeout)
        {
            Message message;
            return TryTake(out message, timeout) ? message : null;
        }

        public bool TryTake(out Message message, TimeSpan timeout)
        {
            DateTime deadline = timeout == Timeout.InfiniteTimeSpan ? DateTime.MaxValue : DateTime.UtcNow + timeout;
            lock (queue)
            {
                while (queue.Count == 0)
                {
                    TimeSpan left = deadline == DateTime.MaxValue ? Timeout.InfiniteTimeSpan : deadline - DateTime.UtcNow;
                    if (ended || (left != Timeout.InfiniteTimeSpan && left <= TimeSpan.Zero))
                    {
                        message = null;
                        return false;
                    }
                    Monitor.Wait(queue, left);
                }
                message = queue.Dequeue();
                return true;
            }
        }

        /// <summary>The messages as they come, until none came for <paramref name="idle"/>.</summary>
        public IEnumerable<Message> Consume(TimeSpan idle)
        {
            Message message;
            while (TryTake(out message, idle))
            {
                yield return message;
            }
        }

        /// <summary>Stops queueing; messages already queued can still be taken.</summary>
        public void Dispose()
        {
            board.Remove(this);
            End();
        }

        internal void End()
        {
            lock (queue)
            {
                ended = true;
                Monitor.PulseAll(queue);
            }
        }

        internal void Offer(Message message)
        {
            if (channel.HasValue && message.Channel != channel.Value)
            {
                return;
            }
            lock (queue)
            {
                if (queue.Count >= capacity)
                {
                    Interlocked.Increment(ref dropped);
                    return;
                }
                queue.Enqueue(message);
                Interlocked.Increment(ref received);
                Monitor.Pulse(queue);
            }
        }
    }
}
