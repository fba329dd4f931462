// rtsp: H.264 over RTSP through GStreamer's RTSP server. One pipeline for
// all clients, built when the first one comes and torn down when the last
// one leaves; it reads frames only while it exists.
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "access.h"
#include "commands.h"
#include "frames.h"
#include "output.h"
#include "rtsp_encoder.h"
#include "rtsp_feed.h"
#include "status.h"

namespace frameshare {
namespace {

void logLine(const std::string& text) { writeOut(formatWallTime(wallNowUs()) + " " + text + "\n"); }

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// What the callbacks of the server share. They run on the server's and the
// media's threads.
struct Server {
    FeedSettings settings;
    std::mutex mutex;
    std::set<RtspFeed*> feeds;  // the running pipelines' feeds
    FrameReader reader;         // under mutex: checks for a producer
    bool closing = false;
    bool authenticated = false;  // --auth-file given

    // A client may describe the stream when a pipeline runs already (its
    // producer may be restarting), or when a producer has a frame now.
    bool streamAvailable() {
        std::lock_guard<std::mutex> lock(mutex);
        return !feeds.empty() || reader.latest().state == FetchState::Frame;
    }
};

struct MediaFeed {
    std::shared_ptr<Server> server;  // a media may outlive runRtsp by a moment
    std::unique_ptr<RtspFeed> feed;
};

void stopFeed(MediaFeed* media) {
    {
        std::lock_guard<std::mutex> lock(media->server->mutex);
        media->server->feeds.erase(media->feed.get());
    }
    media->feed->stop();
}

void onUnprepared(GstRTSPMedia*, gpointer data) {
    auto* media = static_cast<MediaFeed*>(data);
    stopFeed(media);
    logLine("stream stopped: no client left");
}

void deleteMediaFeed(gpointer data) {
    auto* media = static_cast<MediaFeed*>(data);
    stopFeed(media);
    delete media;
}

void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* rtspMedia, gpointer data) {
    const std::shared_ptr<Server>& server = *static_cast<std::shared_ptr<Server>*>(data);
    GstElement* bin = gst_rtsp_media_get_element(rtspMedia);
    auto* media = new MediaFeed{server, nullptr};
    try {
        media->feed = std::make_unique<RtspFeed>(bin, server->settings, logLine);
    } catch (const std::exception& error) {
        logLine(std::string("cannot build the stream: ") + error.what());
        gst_object_unref(bin);
        delete media;
        return;
    }
    gst_object_unref(bin);
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        if (server->closing) {
            delete media;
            return;
        }
        server->feeds.insert(media->feed.get());
    }
    g_object_set_data_full(G_OBJECT(rtspMedia), "frameshare-feed", media, deleteMediaFeed);
    g_signal_connect(rtspMedia, "unprepared", G_CALLBACK(onUnprepared), media);
    media->feed->start();
}

std::string clientAddress(GstRTSPClient* client) {
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    const gchar* ip = connection != nullptr ? gst_rtsp_connection_get_ip(connection) : nullptr;
    return ip != nullptr ? ip : "?";
}

// Without a producer no pipeline is built: the client hears 503 at once
// and may ask again, instead of waiting for a first frame. A client not
// yet authenticated hears 401 from the server instead, and learns nothing
// about the producer.
GstRTSPStatusCode onPreDescribe(GstRTSPClient* client, GstRTSPContext* context, gpointer data) {
    Server& server = **static_cast<std::shared_ptr<Server>*>(data);
    const bool stranger = server.authenticated &&
                          (context->token == nullptr ||
                           gst_rtsp_token_get_string(context->token, GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE) == nullptr);
    if (stranger || server.streamAvailable()) {
        return GST_RTSP_STS_OK;
    }
    logLine("no producer publishing: answered 503 to " + clientAddress(client));
    return GST_RTSP_STS_SERVICE_UNAVAILABLE;
}

void onClientClosed(GstRTSPClient* client, gpointer) { logLine("client " + clientAddress(client) + " left"); }

void onClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
    logLine("client " + clientAddress(client) + " connected");
    // A client that stops reading loses data beyond its backlog; it never
    // holds up the pipeline the others share.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(client), "drop-backlog") != nullptr) {
        g_object_set(client, "drop-backlog", TRUE, nullptr);
    }
    g_signal_connect(client, "pre-describe-request", G_CALLBACK(onPreDescribe), data);
    g_signal_connect(client, "closed", G_CALLBACK(onClientClosed), nullptr);
}

GstRTSPFilterResult closeClient(GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; }

gboolean cleanUpSessions(gpointer pool) {
    gst_rtsp_session_pool_cleanup(static_cast<GstRTSPSessionPool*>(pool));
    return G_SOURCE_CONTINUE;
}

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

void addAuthentication(GstRTSPServer* rtsp, GstRTSPMediaFactory* factory, const Credentials& credentials) {
    static const char* kRole = "viewer";
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_BASIC);
    GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
    for (const auto& [user, password] : credentials.users()) {
        gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), password.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
    }
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(rtsp, auth);
    g_object_unref(auth);
    gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                    GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
}

}  // namespace

int runRtsp(const RtspOptions& options) {
    // Blocked before GStreamer starts any thread, so all of them inherit it;
    // one thread takes the signals below.
    const sigset_t stopSignals = blockStopSignals();
    Credentials credentials;
    std::string credentialsError;
    if (!options.authFile.empty() && !credentials.load(options.authFile, &credentialsError)) {
        writeError("Error: " + credentialsError);
        return kExitError;
    }
    gst_init(nullptr, nullptr);

    const EncoderChoice encoder = chooseEncoder(options.encoder);
    if (encoder.element.empty()) {
        writeError("Error: no H.264 encoder: " + encoder.reason);
        return kExitError;
    }

    auto server = std::make_shared<Server>();
    server->settings = FeedSettings{encoder.element, options.bitrateKbit, options.width, options.fps};

    GstRTSPServer* rtsp = gst_rtsp_server_new();
    gst_rtsp_server_set_address(rtsp, options.host.c_str());
    gst_rtsp_server_set_service(rtsp, std::to_string(options.port).c_str());
    // Each client on a thread of its own: one waiting for the first frame
    // of a new pipeline never holds up the others.
    GstRTSPThreadPool* threads = gst_rtsp_server_get_thread_pool(rtsp);
    gst_rtsp_thread_pool_set_max_threads(threads, 16);
    g_object_unref(threads);

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, pipelineDescription(encoder.element).c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(onMediaConfigure), &server);
    if (!credentials.empty()) {
        server->authenticated = true;
        addAuthentication(rtsp, factory, credentials);
    }
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(rtsp);
    gst_rtsp_mount_points_add_factory(mounts, options.path.c_str(), factory);  // takes the factory
    g_object_unref(mounts);
    g_signal_connect(rtsp, "client-connected", G_CALLBACK(onClientConnected), &server);

    GError* error = nullptr;
    GSource* listening = gst_rtsp_server_create_source(rtsp, nullptr, &error);
    if (listening == nullptr) {
        writeError("Error: cannot listen on " + hostForUrl(options.host) + ":" + std::to_string(options.port) + ": " +
                   (error != nullptr ? error->message : "unknown error"));
        g_clear_error(&error);
        g_object_unref(rtsp);
        return kExitError;
    }
    g_source_attach(listening, nullptr);
    const std::string url = "rtsp://" + hostForUrl(options.host) + ":" +
                            std::to_string(gst_rtsp_server_get_bound_port(rtsp)) + options.path;
    writeOut("Encoder: " + encoder.element + " (" + encoder.reason + ")\n");
    writeOut("Streaming " + url + " (H.264, " + std::to_string(options.bitrateKbit) + " kbit/s" +
             (credentials.empty() ? "" : ", Basic authentication") + ")\n");
    if (options.host != "localhost" && !isLoopbackAddress(options.host) && credentials.empty()) {
        writeError("Warning: " + url + " is reachable from other machines without a password; give --auth-file "
                   "FILE to ask for one");
    }

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(rtsp);
    const guint cleanup = g_timeout_add_seconds(2, cleanUpSessions, sessions);

    std::atomic<bool> running{true};
    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (running.load()) {
            logLine(std::string("caught ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
            // A source the loop dispatches, even when it runs only later
            // (g_main_context_invoke would quit a loop not yet running at
            // once, and the signal would be lost).
            GSource* quit = g_idle_source_new();
            g_source_set_callback(quit, quitLoop, loop, nullptr);
            g_source_attach(quit, nullptr);
            g_source_unref(quit);
        }
    });
    g_main_loop_run(loop);
    running.store(false);
    pthread_kill(signalWaiter.native_handle(), SIGTERM);  // a no-op once it has taken a signal
    signalWaiter.join();

    // No new client, every client closed, and no frame pushed any more.
    g_source_destroy(listening);
    g_source_unref(listening);
    gst_rtsp_server_client_filter(rtsp, closeClient, nullptr);
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        server->closing = true;
        for (RtspFeed* feed : server->feeds) {
            feed->stop();
        }
    }
    g_source_remove(cleanup);
    g_object_unref(sessions);
    g_main_loop_unref(loop);
    g_object_unref(rtsp);
    writeOut("Stopped.\n");
    return kExitOk;
}

}  // namespace frameshare
