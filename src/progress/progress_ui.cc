// SPDX-License-Identifier: MIT
// The progress window: a GTK+ 2 top-level window with a one-line explanation and a progress bar,
// built and driven on the main thread only. The worker never touches it; it only sets the two
// values of progress_state.h, which a 100 ms timer reads here.
#include "progress/progress_ui.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>

#include "progress/progress_state.h"
#include "progress/strings_file.h"

const char *program_path = nullptr;
int display_available = 0;

namespace {

constexpr useconds_t kInitialWaitMicros = 500000;  // an update done by then shows no window
constexpr float kShowLimitPercent = 70.0f;         // nor one that is past this by then
constexpr guint kTimerMillis = 100;
constexpr size_t kResourceNameSize = 4096;

GtkWidget *window = nullptr;
GtkWidget *progress_bar = nullptr;
guint timer_id = 0;  // kept for the life of the process, never removed

// A close request from the window manager is refused: the window lives exactly as long as the
// update.
gboolean OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer) { return TRUE; }

gboolean OnTimer(gpointer) {
  if (quit_requested.load()) {
    gtk_widget_hide(window);
    gtk_main_quit();
  }
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar), progress_value.load() / 100.0);
  return TRUE;
}

}  // namespace

int SetupProgressUI(int *argc, char ***argv) {
  // A program may be started with an empty argument vector; its resources then have no base name.
  program_path = *argc > 0 && (*argv)[0] ? (*argv)[0] : "";
  display_available = gtk_init_check(argc, argv) ? 1 : 0;
  return 0;
}

int RunProgressUI() {
  if (!display_available) return -1;

  usleep(kInitialWaitMicros);
  if (quit_requested.load() || progress_value.load() > kShowLimitPercent) return 0;

  char name[kResourceNameSize];
  snprintf(name, sizeof(name), "%s.ini", program_path);
  WindowStrings strings;
  if (ReadStringsFile(name, &strings) != 0) return -1;

  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!window) return -1;

  snprintf(name, sizeof(name), "%s.png", program_path);

  g_signal_connect(G_OBJECT(window), "delete_event", G_CALLBACK(OnDeleteEvent), nullptr);

  GtkWindow *top = GTK_WINDOW(window);
  gtk_window_set_title(top, strings.title);
  gtk_window_set_type_hint(top, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(top, GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_resizable(top, FALSE);
  gtk_window_set_decorated(top, TRUE);
  gtk_window_set_deletable(top, FALSE);

  // A missing or unreadable icon leaves the window without one.
  if (GdkPixbuf *icon = gdk_pixbuf_new_from_file(name, nullptr)) {
    gtk_window_set_icon(top, icon);
    g_object_unref(icon);
  }

  GtkWidget *box = gtk_vbox_new(TRUE, 6);
  GtkWidget *label = gtk_label_new(strings.info);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  progress_bar = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), progress_bar, TRUE, TRUE, 0);

  timer_id = g_timeout_add(kTimerMillis, OnTimer, nullptr);

  gtk_container_set_border_width(GTK_CONTAINER(window), 10);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
