/*
 * queue: a bounded first-in-first-out ring of fixed-size slots, copied in and
 * out by value. All slots are allocated by queue_create; push and pop never
 * allocate and never wait: a push onto a full queue and a pop from an empty
 * one fail with 0 at once. Each queue has its own mutex, held for the whole
 * of every operation; callers that need a compound operation (test then push,
 * wait then pop, walk with queue_at) wrap it in a lock of their own, always
 * taken before the queue's mutex.
 *
 * A record that is zero-filled and whose queue_create failed behaves as a
 * queue of capacity 0.
 */
#ifndef DIAGFERRY_QUEUE_H
#define DIAGFERRY_QUEUE_H

#include <pthread.h>

typedef struct {
    int count;             /* elements held, 0..capacity */
    int capacity;          /* slots, fixed at creation */
    int elem_size;         /* bytes per element and per slot */
    int head;              /* slot of the oldest element */
    int tail;              /* slot the next push fills */
    void **slots;          /* capacity pointers to elem_size-byte buffers */
    pthread_mutex_t mutex; /* guards every field */
} queue_t;

int queue_create(queue_t *q, int elem_size, int capacity);
void queue_destory(queue_t *q);
int queue_push(queue_t *q, const void *src);
int queue_pop(queue_t *q, void *dst);
int queue_at(queue_t *q, unsigned int pos, void *dst);
int queue_size(queue_t *q);
int queue_is_empty(queue_t *q);
int queue_is_full(queue_t *q);

#endif
